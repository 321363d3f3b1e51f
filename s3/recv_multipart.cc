// Multipart uploads: an upload past the threshold cut into parts in file order, up to
// transfer_streams of them sent at once by the upload's own part threads, each retried from
// memory, then committed by one Complete. Any failure (a part's, the client's, a checksum other
// than the client expects) aborts the upload, so no part is left behind and an earlier object at
// the key stays as it was. The worker fills parts from the host's blocks under the transfer's
// lock and hashes the whole object outside it; each part thread hashes its own part for its
// Content-MD5 and its CRC32C, which the service checks too.
#include "vorlan_i_s3.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

constinit int32_t vorlan_i_s3_multipart_max_parts = 10000;

namespace {

constexpr const char *vorlan_l_s3_multipart_name = "vorlan_l_s3_recv_multipart";
constexpr const char *vorlan_l_s3_part_thread_name = "vorlan_l_s3_recv_part_thread";
constexpr uint64_t vorlan_l_s3_part_size_default = uint64_t{8} << 20;
constexpr uint64_t vorlan_l_s3_part_size_max = uint64_t{5} << 30;

// One part in memory: filled by the worker, then owned by the part thread sending it.
struct vorlan_l_s3_part {
  int number = 0;
  uint64_t target = 0;  // the bytes it takes before it is sent
  uint64_t size = 0;    // the bytes it holds
  uint64_t hashed = 0;  // the bytes in the whole object's MD5
  uint64_t capacity = 0;
  std::unique_ptr<char[]> data;
};
using vorlan_l_s3_part_ptr = std::unique_ptr<vorlan_l_s3_part>;

// What the worker and the part threads share. The first four are set before any part thread
// starts and only read after; the rest are guarded by the transfer's lock. A part thread's
// request records its own failure in the transfer's channel_result, which stops the others.
struct vorlan_l_s3_multipart {
  transfer_state *transfer = nullptr;
  std::string upload_id;
  uint64_t announced = 0;  // 0: unknown
  int streams = 1;
  // At most `streams` parts are in memory (filling, waiting or being sent); each vector has
  // room for them all, so no push into it can fail.
  std::vector<vorlan_l_s3_part *> ready;  // full, waiting for a part thread; owned
  std::vector<vorlan_l_s3_part *> spare;  // sent parts' memory, for reuse; owned
  std::vector<std::string> etags;         // by part number - 1
  std::vector<std::string> crc32cs;       // base64, by part number - 1
  int in_memory = 0;
  int sending = 0;
  int most_sending = 0;
  int idle_threads = 0;
  bool closed = false;               // no part follows
  std::vector<std::thread> threads;  // the worker's only

  ~vorlan_l_s3_multipart() {
    for (vorlan_l_s3_part *part : ready) delete part;
    for (vorlan_l_s3_part *part : spare) delete part;
  }
};

// A part thread's own request: the transfer's path and bucket, but its own token copy, tries
// and result, so that parts retry independently.
struct vorlan_l_s3_part_request {
  vorlan_i_s3_request_t request{};
  explicit vorlan_l_s3_part_request(const vorlan_i_s3_request_t &from) {
    request.op = from.op;
    request.s3_handle = from.s3_handle;
    request.bucket_context = from.bucket_context;
    request.bucket_context.securityToken = nullptr;
    request.bucket = from.bucket;
    request.key = from.key;
    request.name = from.name;
    request.pathname = from.pathname;
    request.renews_token = from.renews_token;
  }
  ~vorlan_l_s3_part_request() { vorlan_i_s3_bucket_context_release(&request.bucket_context); }
  vorlan_l_s3_part_request(const vorlan_l_s3_part_request &) = delete;
  vorlan_l_s3_part_request &operator=(const vorlan_l_s3_part_request &) = delete;
};

// The callbacks' view of one request: the request it fills, and what the answer carried.
struct vorlan_l_s3_call {
  explicit vorlan_l_s3_call(vorlan_i_s3_request_t *request, transfer_state *transfer = nullptr,
                            const vorlan_l_s3_part *part = nullptr)
      : request(request), transfer(transfer), part(part) {}
  vorlan_i_s3_request_t *request;
  transfer_state *transfer;  // a part's: its body stops once the transfer failed
  const vorlan_l_s3_part *part;
  uint64_t sent = 0;
  std::string answer;  // the upload id, or a part's ETag
};

S3Status vorlan_l_s3_call_properties(const S3ResponseProperties *properties, void *data) {
  auto *call = static_cast<vorlan_l_s3_call *>(data);
  if (call->part == nullptr || properties->eTag == nullptr) return S3StatusOK;
  try {
    call->answer = properties->eTag;
  } catch (const std::bad_alloc &) {
    return S3StatusOutOfMemory;
  }
  return S3StatusOK;
}

void vorlan_l_s3_call_complete(S3Status status, const S3ErrorDetails *error_details, void *data) {
  auto *call = static_cast<vorlan_l_s3_call *>(data);
  vorlan_i_s3_request_complete(call->request, status, error_details, call->request->pathname);
}

S3Status vorlan_l_s3_call_upload_id(const char *upload_id, void *data) {
  try {
    static_cast<vorlan_l_s3_call *>(data)->answer = upload_id;
  } catch (const std::bad_alloc &) {
    return S3StatusOutOfMemory;
  }
  return S3StatusOK;
}

int vorlan_l_s3_call_part_data(int buffer_size, char *buffer, void *data) {
  auto *call = static_cast<vorlan_l_s3_call *>(data);
  {
    std::lock_guard<std::mutex> guard(call->transfer->lock);
    if (call->transfer->failed()) return -1;
  }
  const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(std::max(buffer_size, 0)),
                                            call->part->size - call->sent);
  std::memcpy(buffer, call->part->data.get() + call->sent, count);
  call->sent += count;
  return static_cast<int>(count);
}

const S3ResponseHandler vorlan_l_s3_call_handler = {vorlan_l_s3_call_properties,
                                                    vorlan_l_s3_call_complete};

// The attempt loop of one request of the upload, logged under `func_name`: `attempt` makes one
// blocking call. Another attempt follows a retryable failure while `go_on` allows. Returns the
// request's failure (success when there is none).
template <class Attempt, class GoOn>
vorlan_result_t vorlan_l_s3_multipart_call(const char *func_name, vorlan_i_s3_request_t *request,
                                           const char *call_name, Attempt &&attempt, GoOn &&go_on) {
  request->try_count = 0;
  do {
    if (!vorlan_i_s3_transfer_attempt_begin(func_name, request, call_name)) break;
    attempt();
  } while (vorlan_i_s3_request_again(func_name, request, call_name) && go_on());
  return request->result.release();
}

// The MD5 and CRC32C of `size` bytes in one pass, as the request headers take them (base64 into
// `md5`, 25 characters, and `crc32c`, 9).
vorlan_result_t vorlan_l_s3_part_digests(const char *data, uint64_t size, char md5[25],
                                         char crc32c[9]) {
  md5_state *state = nullptr;
  vorlan_result_t result =
      vorlan_i_s3_checksum_init_digests(&state, vorlan_i_s3_digest_md5 | vorlan_i_s3_digest_crc32c);
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_checksum_update(state, data, size);
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_checksum_finalize(state);
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_md5sum_encode(state->md5sum, md5);
  if (result == VORLAN_SUCCESS && !vorlan_i_s3_checksum32_encode(state->crc32csum, crc32c)) {
    result = VORLAN_S3_ERROR("Can not encode the CRC32C %s", state->crc32csum);
  }
  vorlan_i_s3_checksum_free(&state);
  return result;
}

// Sends one part with its Content-MD5 and CRC32C, every attempt from its first byte; its ETag
// into *etag and its CRC32C (base64) into *crc32c.
vorlan_result_t vorlan_l_s3_part_send(vorlan_l_s3_multipart *upload, vorlan_i_s3_request_t *request,
                                      const vorlan_l_s3_part &part, std::string *etag,
                                      std::string *crc32c) {
  char md5[25], crc32c_base64[9];
  vorlan_result_t result = vorlan_l_s3_part_digests(part.data.get(), part.size, md5, crc32c_base64);
  if (result != VORLAN_SUCCESS) return result;
  *crc32c = crc32c_base64;
  S3PutProperties properties{};
  properties.md5 = md5;
  properties.crc32c = crc32c_base64;
  properties.expires = -1;
  static const S3PutObjectHandler handler = {vorlan_l_s3_call_handler, vorlan_l_s3_call_part_data};
  transfer_state *transfer = upload->transfer;
  vorlan_l_s3_call call(request, transfer, &part);
  result = vorlan_l_s3_multipart_call(
      vorlan_l_s3_part_thread_name, request, "S3_upload_part",
      [&] {
        call.sent = 0;
        call.answer.clear();
        S3_upload_part(&request->bucket_context, request->key, upload->upload_id.c_str(),
                       part.number, part.size, &properties, nullptr, 0, &handler, &call);
      },
      [transfer] {
        std::lock_guard<std::mutex> guard(transfer->lock);
        return !transfer->failed();
      });
  if (result == VORLAN_SUCCESS && call.answer.empty()) {
    result = VORLAN_S3_ERROR("The service gave no ETag for part %d of \"%s\"", part.number,
                             request->pathname);
  }
  *etag = std::move(call.answer);
  return result;
}

// A part thread: sends the ready parts, one at a time, until no part follows or the transfer
// failed.
void vorlan_l_s3_part_thread(vorlan_l_s3_multipart *upload) {
  transfer_state *transfer = upload->transfer;
  vorlan_l_s3_part_request own(transfer->request);
  std::unique_lock<std::mutex> guard(transfer->lock);
  for (;;) {
    ++upload->idle_threads;
    transfer->cond.wait(guard, [upload, transfer] {
      return !upload->ready.empty() || upload->closed || transfer->failed();
    });
    --upload->idle_threads;
    if (upload->ready.empty() || transfer->failed()) return;
    vorlan_l_s3_part_ptr part(upload->ready.front());
    upload->ready.erase(upload->ready.begin());
    upload->most_sending = std::max(upload->most_sending, ++upload->sending);
    guard.unlock();
    std::string etag, crc32c;
    vorlan_result_t result = VORLAN_SUCCESS;
    try {
      result = vorlan_l_s3_part_send(upload, &own.request, *part, &etag, &crc32c);
    } catch (const std::bad_alloc &) {
      result = vorlan_i_s3_malloc_error();
    }
    guard.lock();
    --upload->sending;
    --upload->in_memory;
    try {
      const auto index = static_cast<size_t>(part->number - 1);
      if (upload->etags.size() <= index) {
        upload->etags.resize(index + 1);
        upload->crc32cs.resize(index + 1);
      }
      upload->etags[index] = std::move(etag);
      upload->crc32cs[index] = std::move(crc32c);
    } catch (const std::bad_alloc &) {
      if (result == VORLAN_SUCCESS) result = vorlan_i_s3_malloc_error();
    }
    vorlan_i_s3_transfer_fail(transfer, result);
    part->size = 0;
    upload->spare.push_back(part.release());
    transfer->cond.notify_all();
  }
}

// A part to fill, its memory reused when a sent part's is large enough (lock held). Null, with
// the transfer failed, past the part limit or when memory runs out.
vorlan_l_s3_part_ptr vorlan_l_s3_part_take(vorlan_l_s3_multipart *upload, int number) {
  if (number > vorlan_i_s3_multipart_max_parts) {
    vorlan_i_s3_transfer_fail(upload->transfer,
                              VORLAN_S3_ERROR("File upload too large: more than %d parts",
                                              vorlan_i_s3_multipart_max_parts));
    return nullptr;
  }
  const uint64_t target = vorlan_i_s3_recv_part_size(upload->announced, number);
  vorlan_l_s3_part_ptr part;
  for (auto it = upload->spare.begin(); it != upload->spare.end(); ++it) {
    if ((*it)->capacity >= target) {
      part.reset(*it);
      upload->spare.erase(it);
      break;
    }
  }
  if (part == nullptr) {
    // The spare parts are too small for the grown size: their memory goes.
    for (vorlan_l_s3_part *small : upload->spare) delete small;
    upload->spare.clear();
    part.reset(new (std::nothrow) vorlan_l_s3_part);
    if (part != nullptr) part->data.reset(new (std::nothrow) char[target]);
    if (part == nullptr || part->data == nullptr) {
      vorlan_i_s3_transfer_fail(upload->transfer, vorlan_i_s3_malloc_error());
      return nullptr;
    }
    part->capacity = target;
  }
  part->number = number;
  part->target = target;
  part->size = 0;
  part->hashed = 0;
  ++upload->in_memory;
  return part;
}

// Puts the part's new bytes in the whole object's MD5, with the lock released so that reads
// complete meanwhile (only the worker touches a part being filled).
void vorlan_l_s3_part_hash(transfer_state *transfer, vorlan_l_s3_part *part,
                           std::unique_lock<std::mutex> &guard) {
  const uint64_t from = part->hashed;
  part->hashed = part->size;
  guard.unlock();
  const vorlan_result_t result = vorlan_i_s3_checksum_update(
      transfer->file_checksum, part->data.get() + from, part->hashed - from);
  guard.lock();
  vorlan_i_s3_transfer_fail(transfer, result);
}

// Hands a filled part to a part thread, starting one when every thread is busy and fewer than
// `streams` run.
void vorlan_l_s3_part_hand_over(vorlan_l_s3_multipart *upload, vorlan_l_s3_part_ptr part,
                                std::unique_lock<std::mutex> &guard) {
  transfer_state *transfer = upload->transfer;
  vorlan_l_s3_part_hash(transfer, part.get(), guard);
  upload->ready.push_back(part.release());
  transfer->cond.notify_all();
  if (upload->ready.size() <= static_cast<size_t>(upload->idle_threads) ||
      upload->threads.size() >= static_cast<size_t>(upload->streams)) {
    return;
  }
  try {
    upload->threads.emplace_back(vorlan_l_s3_part_thread, upload);
  } catch (const std::exception &) {
    vorlan_i_s3_transfer_fail(transfer, VORLAN_S3_ERROR("%s", "vorlan_thread_create"));
  }
}

// Moves the data, in file order, into parts and hands each full one over, until the data has
// ended (lock held through `guard`). At most `streams` parts are in memory: the worker waits for
// a sent one, and reads wait on it (back-pressure on the data channel). Stops early once the
// transfer failed.
void vorlan_l_s3_multipart_fill(vorlan_l_s3_multipart *upload,
                                std::unique_lock<std::mutex> &guard) {
  transfer_state *transfer = upload->transfer;
  vorlan_l_s3_part_ptr part;
  int next_number = 1;
  for (;;) {
    vorlan_i_s3_recv_register_reads(transfer, guard);
    if (transfer->failed()) return;
    bool moved = false;
    while (vorlan_i_s3_recv_is_transfer_offset_ready(transfer) && !transfer->failed()) {
      if (part == nullptr) {
        if (upload->in_memory >= upload->streams) break;
        part = vorlan_l_s3_part_take(upload, next_number++);
        if (part == nullptr) return;
      }
      s3_buffer *head = transfer->pending_buffers;
      const uint64_t count = std::min(head->buffer_used, part->target - part->size);
      std::memcpy(part->data.get() + part->size, head->data() + head->data_start, count);
      part->size += count;
      transfer->current_offset += count;
      moved = true;
      if (count == head->buffer_used) {
        transfer->pending_buffers = head->next;
        if (transfer->pending_buffers == nullptr) {
          transfer->pending_buffers_tail = &transfer->pending_buffers;
        }
        // What a held upload had read before it passed the threshold is not kept as spare.
        if (vorlan_i_s3_buffer_count(transfer->free_buffers) >= 2 * transfer->concurrency) {
          std::free(head);
        } else {
          vorlan_i_s3_buffer_release(transfer, head);
        }
      } else {
        head->data_start += count;
        head->buffer_used -= count;
        head->offset += static_cast<int64_t>(count);
      }
      if (part->size == part->target)
        vorlan_l_s3_part_hand_over(upload, std::exchange(part, nullptr), guard);
    }
    if (moved) {
      if (part != nullptr) vorlan_l_s3_part_hash(transfer, part.get(), guard);
      continue;
    }
    // Data that waits for a part's memory is not the end.
    if (vorlan_i_s3_recv_is_reading_complete(transfer) &&
        !vorlan_i_s3_recv_is_transfer_offset_ready(transfer)) {
      break;
    }
    transfer->cond.wait(guard);
  }
  if (transfer->pending_buffers != nullptr ||
      (upload->announced != 0 && transfer->current_offset != upload->announced)) {
    // The client ended its data before the size it announced: nothing may be stored.
    vorlan_i_s3_transfer_fail(
        transfer,
        VORLAN_S3_ERROR("Unexpected end of data.  Size announced: %llu, size received: %llu",
                        static_cast<unsigned long long>(upload->announced),
                        static_cast<unsigned long long>(transfer->current_offset)));
    return;
  }
  if (part != nullptr && part->size > 0)
    vorlan_l_s3_part_hand_over(upload, std::exchange(part, nullptr), guard);
}

// CreateMultipartUpload with the properties a single PUT would carry, announcing that every part
// carries its CRC32C; the id into the upload.
void vorlan_l_s3_multipart_create(vorlan_l_s3_multipart *upload,
                                  const S3PutProperties *put_properties) {
  vorlan_i_s3_request_t *request = &upload->transfer->request;
  S3PutProperties announced = *put_properties;
  if (announced.crc32c == nullptr) announced.crc32c = "";
  const S3PutProperties *properties = &announced;
  static const S3MultipartInitialHandler handler = {vorlan_l_s3_call_handler,
                                                    vorlan_l_s3_call_upload_id};
  vorlan_l_s3_call call(request);
  vorlan_result_t result = vorlan_l_s3_multipart_call(
      vorlan_l_s3_multipart_name, request, "S3_initiate_multipart",
      [&] {
        call.answer.clear();
        S3_initiate_multipart(&request->bucket_context, request->key, properties, nullptr, 0,
                              &handler, &call);
      },
      [] { return true; });
  if (result == VORLAN_SUCCESS && call.answer.empty()) {
    result = VORLAN_S3_ERROR("The service gave no upload id for \"%s\"", request->pathname);
  }
  upload->upload_id = std::move(call.answer);
  std::lock_guard<std::mutex> guard(upload->transfer->lock);
  vorlan_i_s3_transfer_fail(upload->transfer, result);
}

// The whole object's MD5 against the client's: a difference is the reply a service's BadDigest
// gives, with both digests, and nothing is stored.
vorlan_result_t vorlan_l_s3_multipart_check_md5(transfer_state *transfer,
                                                const S3PutProperties *properties, char md5[25]) {
  vorlan_result_t result = vorlan_i_s3_checksum_finalize(transfer->file_checksum);
  if (result == VORLAN_SUCCESS)
    result = vorlan_i_s3_md5sum_encode(transfer->file_checksum->md5sum, md5);
  if (result != VORLAN_SUCCESS || properties->md5 == nullptr ||
      std::strcmp(properties->md5, md5) == 0) {
    return result;
  }
  const S3NameValue digests[] = {{"ExpectedDigest", properties->md5}, {"CalculatedDigest", md5}};
  const S3ErrorDetails details = {"The Content-MD5 you specified did not match what we received.",
                                  transfer->request.pathname, nullptr, 2, digests};
  return vorlan_error_put(
      vorlan_i_S3Error_to_error(S3StatusErrorBadDigest, transfer->request.pathname, &details));
}

// CompleteMultipartUpload with every part's ETag; the object's ETag into `etag`.
vorlan_result_t vorlan_l_s3_multipart_complete(vorlan_l_s3_multipart *upload, char *etag,
                                               int etag_size) {
  vorlan_i_s3_request_t *request = &upload->transfer->request;
  std::vector<S3CompletedPart> parts;
  try {
    parts.reserve(upload->etags.size());
    for (size_t i = 0; i < upload->etags.size(); ++i) {
      parts.push_back(
          {static_cast<int>(i + 1), upload->etags[i].c_str(), upload->crc32cs[i].c_str()});
    }
  } catch (const std::bad_alloc &) {
    return vorlan_i_s3_malloc_error();
  }
  vorlan_l_s3_call call(request);
  return vorlan_l_s3_multipart_call(
      vorlan_l_s3_multipart_name, request, "S3_complete_multipart_upload",
      [&] {
        etag[0] = '\0';
        S3_complete_multipart_upload(&request->bucket_context, request->key,
                                     upload->upload_id.c_str(), static_cast<int>(parts.size()),
                                     parts.data(), etag_size, etag, nullptr, 0,
                                     &vorlan_l_s3_call_handler, &call);
      },
      [] { return true; });
}

// AbortMultipartUpload, so that no part is left; its failure is logged, the transfer's stays.
void vorlan_l_s3_multipart_abort(vorlan_l_s3_multipart *upload) {
  vorlan_i_s3_request_t *request = &upload->transfer->request;
  vorlan_l_s3_call call(request);
  const vorlan_i_s3_error result(vorlan_l_s3_multipart_call(
      vorlan_l_s3_multipart_name, request, "S3_abort_multipart_upload",
      [&] {
        S3_abort_multipart_upload(&request->bucket_context, request->key, upload->upload_id.c_str(),
                                  nullptr, 0, &vorlan_l_s3_call_handler, &call);
      },
      [] { return true; }));
  if (result.failed()) {
    VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_WARN, vorlan_l_s3_multipart_name,
                     "op=%p upload %s of %s could not be aborted: its parts stay until the "
                     "bucket's lifecycle removes them\n",
                     static_cast<void *>(request->op), upload->upload_id.c_str(),
                     request->pathname);
  }
}

// After the parts: the MD5 and the expected checksum checked, then Complete, and the checksums
// cached under the new ETag.
void vorlan_l_s3_multipart_commit(vorlan_l_s3_multipart *upload,
                                  const S3PutProperties *properties) {
  transfer_state *transfer = upload->transfer;
  char md5[25];
  vorlan_result_t result = vorlan_l_s3_multipart_check_md5(transfer, properties, md5);
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_recv_checksum_check(transfer);
  char etag[256];
  if (result == VORLAN_SUCCESS) result = vorlan_l_s3_multipart_complete(upload, etag, sizeof etag);
  if (result != VORLAN_SUCCESS) {
    std::lock_guard<std::mutex> guard(transfer->lock);
    vorlan_i_s3_transfer_fail(transfer, result);
    return;
  }
  vorlan_i_s3_recv_checksum_cache(vorlan_l_s3_multipart_name, transfer, etag);
}

}  // namespace

uint64_t vorlan_i_s3_recv_part_size(uint64_t announced, int part_number) {
  const uint64_t base = vorlan_i_s3_part_size > 0 ? static_cast<uint64_t>(vorlan_i_s3_part_size)
                                                  : vorlan_l_s3_part_size_default;
  const auto max_parts = static_cast<uint64_t>(std::max(vorlan_i_s3_multipart_max_parts, 1));
  if (announced != 0) {
    return std::min(std::max(base, (announced + max_parts - 1) / max_parts),
                    vorlan_l_s3_part_size_max);
  }
  // Ten doublings: 8 MiB parts reach 4 GiB, and 10,000 parts of 5 MiB and up hold 5 TB.
  const uint64_t step = std::max<uint64_t>(max_parts / 10, 1);
  const uint64_t doublings = std::min<uint64_t>(static_cast<uint64_t>(part_number - 1) / step, 32);
  return std::min(base << doublings, vorlan_l_s3_part_size_max);
}

void vorlan_i_s3_recv_multipart(transfer_state *transfer_state, std::unique_lock<std::mutex> &guard,
                                const S3PutProperties *properties) {
  vorlan_l_s3_multipart upload;
  upload.transfer = transfer_state;
  upload.announced = static_cast<uint64_t>(transfer_state->transfer_info->alloc_size);
  upload.streams = std::max(vorlan_i_s3_transfer_streams, 1);
  transfer_state->multipart = true;
  try {
    upload.ready.reserve(static_cast<size_t>(upload.streams));
    upload.spare.reserve(static_cast<size_t>(upload.streams));
    upload.threads.reserve(static_cast<size_t>(upload.streams));
  } catch (const std::bad_alloc &) {
    vorlan_i_s3_transfer_fail(transfer_state, vorlan_i_s3_malloc_error());
    return;
  }
  guard.unlock();
  vorlan_l_s3_multipart_create(&upload, properties);
  guard.lock();
  if (!upload.upload_id.empty()) vorlan_l_s3_multipart_fill(&upload, guard);
  upload.closed = true;
  transfer_state->cond.notify_all();
  guard.unlock();
  for (std::thread &thread : upload.threads) thread.join();
  guard.lock();
  const bool failed = transfer_state->failed();
  guard.unlock();
  if (!failed) vorlan_l_s3_multipart_commit(&upload, properties);
  guard.lock();
  const bool aborted = transfer_state->failed() && !upload.upload_id.empty();
  guard.unlock();
  if (aborted) vorlan_l_s3_multipart_abort(&upload);
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, vorlan_l_s3_multipart_name,
                   "recv: op=%p multipart parts=%zu streams=%d part_size=%llu%s\n",
                   static_cast<void *>(transfer_state->request.op), upload.etags.size(),
                   upload.most_sending,
                   static_cast<unsigned long long>(vorlan_i_s3_recv_part_size(upload.announced, 1)),
                   aborted ? " aborted" : "");
  guard.lock();
}
