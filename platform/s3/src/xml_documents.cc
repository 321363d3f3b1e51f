#include "xml_documents.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <cstring>
#include <ctime>
#include <memory>

#include "status_table.h"

namespace {

struct xml_doc_free {
  void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
using xml_doc_ptr = std::unique_ptr<xmlDoc, xml_doc_free>;

xml_doc_ptr read_document(std::string_view body) {
  if (body.empty() || body.size() > vorlan_s3::kMaxXmlDocumentSize) return nullptr;
  // The service never sends a document type; one could only declare entities whose expansion
  // grows without bound. Outside a DTD the text cannot appear unescaped.
  if (body.find("<!DOCTYPE") != std::string_view::npos) return nullptr;
  // No network, no external entities, no DTD loading; errors are ours to report, not stderr's.
  int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  xml_doc_ptr doc(
      xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr, options));
  if (doc && (doc->intSubset != nullptr || doc->extSubset != nullptr)) return nullptr;
  return doc;
}

bool named(const xmlNode *node, const char *name) {
  return node->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

// Signature mismatch answers echo what was signed, security token included.
bool carries_signed_text(const xmlNode *field) {
  for (const char *name :
       {"CanonicalRequest", "CanonicalRequestBytes", "StringToSign", "StringToSignBytes"}) {
    if (named(field, name)) return true;
  }
  return false;
}

std::string text_of(const xmlNode *node) {
  xmlChar *content = xmlNodeGetContent(node);
  if (content == nullptr) return {};
  std::string out(reinterpret_cast<const char *>(content));
  xmlFree(content);
  return out;
}

const xmlNode *root_named(const xmlDoc *doc, const char *name) {
  const xmlNode *root = doc ? xmlDocGetRootElement(const_cast<xmlDoc *>(doc)) : nullptr;
  return root && named(root, name) ? root : nullptr;
}

template <typename Visit>
void for_each_element(const xmlNode *parent, Visit visit) {
  for (const xmlNode *child = parent->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) visit(child);
  }
}

uint64_t parse_size(const std::string &text) {
  uint64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

void read_owner(const xmlNode *owner, std::string *id, std::string *display_name) {
  for_each_element(owner, [&](const xmlNode *field) {
    if (named(field, "ID")) *id = text_of(field);
    if (named(field, "DisplayName")) *display_name = text_of(field);
  });
}

vorlan_s3::listed_object read_contents(const xmlNode *contents) {
  vorlan_s3::listed_object object;
  for_each_element(contents, [&](const xmlNode *field) {
    if (named(field, "Key")) {
      object.key = text_of(field);
    } else if (named(field, "LastModified")) {
      object.last_modified = vorlan_s3::parse_iso8601_time(text_of(field));
    } else if (named(field, "ETag")) {
      object.etag = text_of(field);
    } else if (named(field, "Size")) {
      object.size = parse_size(text_of(field));
    } else if (named(field, "Owner")) {
      read_owner(field, &object.owner_id, &object.owner_display_name);
    }
  });
  return object;
}

void read_error_root(const xmlNode *root, vorlan_s3::error_document *error) {
  *error = vorlan_s3::error_document{};
  for_each_element(root, [&](const xmlNode *field) {
    std::string value = text_of(field);
    if (named(field, "Code")) {
      error->code = std::move(value);
    } else if (named(field, "Message")) {
      error->message = std::move(value);
    } else if (named(field, "Resource")) {
      error->resource = std::move(value);
    } else if (named(field, "Details")) {
      error->further_details = std::move(value);
    } else if (!carries_signed_text(field)) {
      error->extra_details.emplace_back(reinterpret_cast<const char *>(field->name),
                                        std::move(value));
    }
  });
}

// A document that confirms a request done: its root `name`, whose fields go to `visit`. An
// <Error> instead (which the service may send with status 200) gives that error's status.
template <typename Visit>
S3Status read_confirmation(std::string_view body, const char *name,
                           vorlan_s3::error_document *error, Visit visit) {
  xml_doc_ptr doc = read_document(body);
  if (const xmlNode *root = root_named(doc.get(), "Error")) {
    read_error_root(root, error);
    return vorlan_s3::status_from_error_code(error->code);
  }
  const xmlNode *root = root_named(doc.get(), name);
  if (root == nullptr) return S3StatusXmlParseFailure;
  for_each_element(root, visit);
  return S3StatusOK;
}

}  // namespace

namespace vorlan_s3 {

bool parse_error_document(std::string_view body, error_document *error) {
  xml_doc_ptr doc = read_document(body);
  const xmlNode *root = root_named(doc.get(), "Error");
  if (root == nullptr) return false;
  read_error_root(root, error);
  return true;
}

S3Status parse_bucket_page(std::string_view body, bucket_page *page) {
  *page = bucket_page{};
  xml_doc_ptr doc = read_document(body);
  const xmlNode *root = root_named(doc.get(), "ListBucketResult");
  if (root == nullptr) return S3StatusXmlParseFailure;
  for_each_element(root, [&](const xmlNode *field) {
    if (named(field, "IsTruncated")) {
      std::string value = text_of(field);
      page->truncated = value == "true" || value == "True" || value == "1";
    } else if (named(field, "NextMarker")) {
      page->next_marker = text_of(field);
    } else if (named(field, "Contents")) {
      page->contents.push_back(read_contents(field));
    } else if (named(field, "CommonPrefixes")) {
      for_each_element(field, [&](const xmlNode *prefix) {
        if (named(prefix, "Prefix")) page->common_prefixes.push_back(text_of(prefix));
      });
    }
  });
  // A caller would ask again from the same place, and be answered the same, forever.
  if (page->truncated && page->contents.empty() && page->common_prefixes.empty()) {
    return S3StatusTruncatedEmptyPage;
  }
  if (page->truncated && page->next_marker.empty()) {
    std::string last_key = page->contents.empty() ? std::string() : page->contents.back().key;
    std::string last_prefix =
        page->common_prefixes.empty() ? std::string() : page->common_prefixes.back();
    page->next_marker = std::max(last_key, last_prefix);
  }
  return S3StatusOK;
}

S3Status parse_service_page(std::string_view body, service_page *page) {
  *page = service_page{};
  xml_doc_ptr doc = read_document(body);
  const xmlNode *root = root_named(doc.get(), "ListAllMyBucketsResult");
  if (root == nullptr) return S3StatusXmlParseFailure;
  for_each_element(root, [&](const xmlNode *field) {
    if (named(field, "Owner")) {
      read_owner(field, &page->owner_id, &page->owner_display_name);
    } else if (named(field, "Buckets")) {
      for_each_element(field, [&](const xmlNode *bucket) {
        if (!named(bucket, "Bucket")) return;
        owned_bucket entry;
        for_each_element(bucket, [&](const xmlNode *item) {
          if (named(item, "Name")) entry.name = text_of(item);
          if (named(item, "CreationDate")) entry.creation_date = parse_iso8601_time(text_of(item));
        });
        page->buckets.push_back(std::move(entry));
      });
    }
  });
  return S3StatusOK;
}

S3Status parse_copy_result(std::string_view body, copy_result *result, error_document *error) {
  *result = copy_result{};
  return read_confirmation(body, "CopyObjectResult", error, [&](const xmlNode *field) {
    if (named(field, "ETag")) result->etag = text_of(field);
    if (named(field, "LastModified")) result->last_modified = parse_iso8601_time(text_of(field));
  });
}

S3Status parse_initiate_result(std::string_view body, std::string *upload_id) {
  upload_id->clear();
  xml_doc_ptr doc = read_document(body);
  const xmlNode *root = root_named(doc.get(), "InitiateMultipartUploadResult");
  if (root == nullptr) return S3StatusXmlParseFailure;
  for_each_element(root, [&](const xmlNode *field) {
    if (named(field, "UploadId")) *upload_id = text_of(field);
  });
  return upload_id->empty() ? S3StatusXmlParseFailure : S3StatusOK;
}

S3Status parse_complete_result(std::string_view body, std::string *etag, error_document *error) {
  etag->clear();
  S3Status status =
      read_confirmation(body, "CompleteMultipartUploadResult", error, [&](const xmlNode *field) {
        if (named(field, "ETag")) *etag = text_of(field);
      });
  return status == S3StatusOK && etag->empty() ? S3StatusXmlParseFailure : status;
}

S3Status parse_uploads_page(std::string_view body,
                            std::vector<std::pair<std::string, std::string>> *uploads) {
  uploads->clear();
  xml_doc_ptr doc = read_document(body);
  const xmlNode *root = root_named(doc.get(), "ListMultipartUploadsResult");
  if (root == nullptr) return S3StatusXmlParseFailure;
  for_each_element(root, [&](const xmlNode *upload) {
    if (!named(upload, "Upload")) return;
    auto &entry = uploads->emplace_back();
    for_each_element(upload, [&](const xmlNode *field) {
      if (named(field, "Key")) entry.first = text_of(field);
      if (named(field, "UploadId")) entry.second = text_of(field);
    });
  });
  return S3StatusOK;
}

int64_t parse_iso8601_time(std::string_view text) {
  std::tm parts{};
  std::string copy(text);
  const char *end = strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (end == nullptr) return -1;
  return static_cast<int64_t>(timegm(&parts));
}

std::string xml_escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace vorlan_s3
