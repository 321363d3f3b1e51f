/*
 * libvorlan_common: the common runtime shared by the GridFTP server and its storage modules.
 *
 * Results are values: every fallible call returns a vorlan_result_t that is VORLAN_SUCCESS or
 * the code of an error object held in a process-wide table. Nothing here throws; every call is
 * safe from any thread unless its comment says otherwise.
 */
#ifndef VORLAN_COMMON_H
#define VORLAN_COMMON_H

#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VORLAN_PRINTF_FORMAT(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))

typedef int32_t vorlan_result_t;
typedef int vorlan_bool_t;
typedef unsigned char vorlan_byte_t;
typedef int64_t vorlan_off_t;
typedef size_t vorlan_size_t;

#define VORLAN_SUCCESS 0
/* The generic failure code: all 32 bits set. It names no error object. */
#define VORLAN_FAILURE (-1)
#define VORLAN_TRUE 1
#define VORLAN_FALSE 0

/* ---- Modules -------------------------------------------------------------------------- */

typedef vorlan_result_t (*vorlan_module_func_t)(void);

typedef struct vorlan_version_s {
  int major;
  int minor;
  unsigned long timestamp;
  int branch_id;
} vorlan_version_t;

/* A module record. Activation and deactivation are reference counted per record. */
typedef struct vorlan_module_descriptor_s {
  const char *module_name;
  vorlan_module_func_t activation_func;
  vorlan_module_func_t deactivation_func;
  void *atexit_func;
  void *get_pointer_func;
  const vorlan_version_t *version;
  void *friendly_name_func;
} vorlan_module_descriptor_t;

/* Runs the activation function on the first activation only; a failed first activation leaves
 * the count at zero and returns the function's result. */
vorlan_result_t vorlan_module_activate(vorlan_module_descriptor_t *module);
/* Runs the deactivation function when the count returns to zero. Deactivating a module that is
 * not active returns VORLAN_FAILURE and calls nothing. */
vorlan_result_t vorlan_module_deactivate(vorlan_module_descriptor_t *module);
/* Current activation count (for tests and diagnostics). */
int vorlan_module_activation_count(const vorlan_module_descriptor_t *module);

/* ---- Error objects and result codes ------------------------------------------------------ */

typedef struct vorlan_object_s vorlan_object_t;

/* Error types used by the module. Any int is accepted. */
#define VORLAN_ERROR_TYPE_S3 1
#define VORLAN_ERROR_TYPE_MODULE 6

/* Builds a new error object. `module` and `cause` may be null; the new object owns `cause`. */
vorlan_object_t *vorlan_error_construct_error(const vorlan_module_descriptor_t *module,
                                              vorlan_object_t *cause, int type,
                                              const char *source_file, const char *source_func,
                                              int source_line, const char *format, ...)
    VORLAN_PRINTF_FORMAT(7, 8);

/* Stores the object in the process-wide table and returns its code; the table owns it. A null
 * object gives VORLAN_FAILURE. */
vorlan_result_t vorlan_error_put(vorlan_object_t *error);
/* The object behind a code, still owned by the table; null for success or an unknown code. */
vorlan_object_t *vorlan_error_peek(vorlan_result_t result);
/* Takes the object back out of the table: the caller owns it and frees it with
 * vorlan_object_free. Null for success or an unknown code. */
vorlan_object_t *vorlan_error_get(vorlan_result_t result);
/* Releases the object behind a code, if any. For results that are overwritten or swallowed. */
void vorlan_error_release(vorlan_result_t result);
/* Frees an object and its whole cause chain. Null is ignored. */
void vorlan_object_free(vorlan_object_t *object);

/* Readers; the returned pointers belong to the object. */
int vorlan_error_get_type(const vorlan_object_t *error);
vorlan_object_t *vorlan_error_get_cause(const vorlan_object_t *error);
const vorlan_module_descriptor_t *vorlan_error_get_module(const vorlan_object_t *error);
const char *vorlan_error_get_long_desc(const vorlan_object_t *error);
const char *vorlan_error_get_source_file(const vorlan_object_t *error);
const char *vorlan_error_get_source_func(const vorlan_object_t *error);
int vorlan_error_get_source_line(const vorlan_object_t *error);

/* The text of the object and its whole cause chain, outermost first, joined by "\n"; the caller
 * frees it with free(). Null for a null object. */
char *vorlan_error_print_friendly(const vorlan_object_t *error);

/* Extension point for error kinds defined by other libraries (the server's reply errors): an
 * opaque payload freed with the object. */
typedef void (*vorlan_error_payload_free_t)(void *payload);
void vorlan_error_set_payload(vorlan_object_t *error, const char *kind, void *payload,
                              vorlan_error_payload_free_t free_payload);
/* The payload if the object's kind is `kind`, else null. */
void *vorlan_error_get_payload(const vorlan_object_t *error, const char *kind);

/* ---- Threads ---------------------------------------------------------------------------- */

typedef pthread_t vorlan_thread_t;
typedef void *vorlan_threadattr_t;
typedef void *(*vorlan_thread_func_t)(void *arg);

/* Starts a detached thread: nothing joins it. `attr` must be null. Returns 0 or an errno. */
int vorlan_thread_create(vorlan_thread_t *thread, vorlan_threadattr_t *attr,
                         vorlan_thread_func_t func, void *arg);
vorlan_thread_t vorlan_thread_self(void);

void vorlan_libc_usleep(unsigned long usec);

/* ---- String-keyed hash tables ----------------------------------------------------------- */

/* Not synchronised: the owner locks around it when it is shared. */
typedef struct vorlan_hashtable_s *vorlan_hashtable_t;
typedef int (*vorlan_hashtable_hash_func_t)(void *key, int limit);
typedef int (*vorlan_hashtable_keyeq_func_t)(void *key1, void *key2);
typedef void (*vorlan_hashtable_destructor_func_t)(void *datum);

/* Hash of a NUL-terminated string in [0, limit). Stable across runs and processes. */
int vorlan_hashtable_string_hash(void *string, int limit);
int vorlan_hashtable_string_keyeq(void *string1, void *string2);

vorlan_result_t vorlan_hashtable_init(vorlan_hashtable_t *table, int size,
                                      vorlan_hashtable_hash_func_t hash,
                                      vorlan_hashtable_keyeq_func_t keyeq);
/* The table keeps the key pointer, not a copy. A key already present is refused with
 * VORLAN_FAILURE and the table is unchanged. */
vorlan_result_t vorlan_hashtable_insert(vorlan_hashtable_t table, void *key, void *datum);
void *vorlan_hashtable_lookup(vorlan_hashtable_t table, void *key);
/* Removes the entry and returns its datum, or null. */
void *vorlan_hashtable_remove(vorlan_hashtable_t table, void *key);
/* Frees the table; with `destructor`, each datum first. Sets *table to null. */
void vorlan_hashtable_destroy(vorlan_hashtable_t *table);
void vorlan_hashtable_destroy_all(vorlan_hashtable_t *table,
                                  vorlan_hashtable_destructor_func_t destructor);

/* ---- Paths ------------------------------------------------------------------------------ */

/* Expands "${sysconfdir}" in `path_template` into a newly allocated *path (caller frees). The
 * directory is the install's sysconfdir unless the environment variable VORLAN_SYSCONFDIR or
 * vorlan_set_sysconfdir names another: the configured one, or, for a library installed with a
 * sysconfdir relative to its prefix, that of the prefix it now lies in (see eval_path.cc). An
 * unknown "${...}" variable is an error. */
vorlan_result_t vorlan_eval_path(const char *path_template, char **path);
/* Overrides ${sysconfdir} for this process (null restores the default). Not thread-safe. */
void vorlan_set_sysconfdir(const char *dir);

/* ---- Debug log initialisation ------------------------------------------------------------ */

/* The five fields a component's debug log reads. */
typedef struct vorlan_debug_handle_s {
  uint32_t levels;
  uint32_t timestamp_levels;
  FILE *output;
  int32_t show_thread_ids;
  int32_t owns_output;
} vorlan_debug_handle_t;

/*
 * Fills `handle` from the environment variable `env_name`. `level_names` lists the level names
 * separated by blanks, in bit order (the first is bit value 1, the next 2, ...).
 *
 * Syntax of the variable: LEVELS[,OUTPUT[,FLAGS[,TIMESTAMP_LEVELS]]]
 *   LEVELS            a decimal bit set, or level names (case-insensitive) joined by '|',
 *                     or ALL
 *   OUTPUT            a file path, opened for appending (owns_output is set); empty, "-" or
 *                     "stderr" means standard error
 *   FLAGS             '|'-joined words: "threads" prefixes each write with the thread id
 *   TIMESTAMP_LEVELS  levels whose writes carry a time stamp, in the LEVELS syntax
 * Example: VORLAN_S3_DEBUG="ERROR|WARNING|INFO,/var/log/s3.log,threads,ERROR"
 * Words are case-insensitive and may carry surrounding blanks; a '|' list may mix names, ALL
 * (every named level) and numbers, and empty words in it are ignored. More than four fields is
 * an error, so the path cannot contain a comma. A file output is line-buffered. The handle is
 * overwritten without closing an output it held before.
 *
 * Unset or empty: every field is zero and output is null, so nothing is written. An unknown
 * level or flag word, or an output file that cannot be opened, leaves the log off and returns
 * an error naming the problem.
 */
vorlan_result_t vorlan_debug_init(const char *env_name, const char *level_names,
                                  vorlan_debug_handle_t *handle);

#ifdef __cplusplus
}
#endif

#endif /* VORLAN_COMMON_H */
