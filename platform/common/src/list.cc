// Singly linked lists of borrowed data.
#include <cstdlib>

#include <vorlan/vorlan_common.h>

extern "C" {

int vorlan_list_insert(vorlan_list_t **list, void *datum) {
  if (list == nullptr) {
    return VORLAN_FAILURE;
  }
  auto *cell = static_cast<vorlan_list_t *>(malloc(sizeof(vorlan_list_t)));
  if (cell == nullptr) {
    return VORLAN_FAILURE;
  }
  cell->datum = datum;
  cell->next = *list;
  *list = cell;
  return 0;
}

vorlan_bool_t vorlan_list_empty(const vorlan_list_t *list) {
  return list == nullptr ? VORLAN_TRUE : VORLAN_FALSE;
}

int vorlan_list_size(const vorlan_list_t *list) {
  int size = 0;
  for (; list != nullptr; list = list->next) {
    ++size;
  }
  return size;
}

void *vorlan_list_first(const vorlan_list_t *list) {
  return list != nullptr ? list->datum : nullptr;
}

vorlan_list_t *vorlan_list_rest(const vorlan_list_t *list) {
  return list != nullptr ? list->next : nullptr;
}

vorlan_list_t *vorlan_list_search(vorlan_list_t *list, const void *datum) {
  for (; list != nullptr; list = list->next) {
    if (list->datum == datum) {
      return list;
    }
  }
  return nullptr;
}

void *vorlan_list_remove(vorlan_list_t **list, vorlan_list_t *entry) {
  if (list == nullptr || entry == nullptr) {
    return nullptr;
  }
  for (vorlan_list_t **link = list; *link != nullptr; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      void *datum = entry->datum;
      free(entry);
      return datum;
    }
  }
  return nullptr;
}

void vorlan_list_free(vorlan_list_t *list) {
  while (list != nullptr) {
    vorlan_list_t *next = list->next;
    free(list);
    list = next;
  }
}

}  // extern "C"
