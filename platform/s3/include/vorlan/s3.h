/*
 * libvorlan_s3: a synchronous S3 client over HTTP(S).
 *
 * Every request runs on the calling thread and calls the caller's callbacks on that thread,
 * in this order: the properties callback once when the headers of a 2xx answer have arrived,
 * data or list callbacks as the body arrives, then the complete callback exactly once with the
 * final status. An error answer (3xx, 4xx, 5xx) calls no properties callback: it reaches the
 * complete callback alone, with the service's details (and the answer's x-amz-bucket-region as
 * the extra detail "Region" when the document does not name one, and its Content-Range, which
 * for a 416 answer names the object's size, as the last extra detail "Content-Range"); an error
 * body longer than 1 MiB is not read further: the connection is closed, the status stays the
 * HTTP answer's and the message says so. A transport failure's message is libcurl's; for a TLS
 * failure it names the endpoint first ("TLS certificate of 127.0.0.1:9443 not trusted: ..."). A
 * callback that returns a status other than S3StatusOK ends the request with that status.
 *
 * Strings passed in are borrowed for the duration of the call. Pointers passed to callbacks
 * are valid only during the callback. All calls are safe from many threads at once once
 * S3_initialize has succeeded.
 */
#ifndef VORLAN_S3_H
#define VORLAN_S3_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The numbers 0, 1, 2, 49, 52, 53, 66, 79, 101, 102, 104, 107, 110, 118, 119, 120, 131 and
 * 132 are fixed: callers rely on them. */
typedef enum {
  S3StatusOK = 0,
  S3StatusAbortedByCallback = 1,
  S3StatusOutOfMemory = 2,
  S3StatusInterrupted = 3,
  S3StatusInvalidBucketNameTooLong = 4,
  S3StatusInvalidBucketNameFirstCharacter = 5,
  S3StatusInvalidBucketNameCharacter = 6,
  S3StatusInvalidBucketNameCharacterSequence = 7,
  S3StatusInvalidBucketNameTooShort = 8,
  S3StatusInvalidBucketNameDotQuadNotation = 9,
  S3StatusQueryParamsTooLong = 10,
  S3StatusFailedToInitializeRequest = 11,
  S3StatusMetaDataHeadersTooLong = 12,
  S3StatusBadMetaData = 13,
  S3StatusBadContentType = 14,
  S3StatusContentTypeTooLong = 15,
  S3StatusBadMD5 = 16,
  S3StatusMD5TooLong = 17,
  S3StatusBadCacheControl = 18,
  S3StatusCacheControlTooLong = 19,
  S3StatusBadContentDispositionFilename = 20,
  S3StatusContentDispositionFilenameTooLong = 21,
  S3StatusBadContentEncoding = 22,
  S3StatusContentEncodingTooLong = 23,
  S3StatusBadIfMatchETag = 24,
  S3StatusIfMatchETagTooLong = 25,
  S3StatusBadIfNotMatchETag = 26,
  S3StatusIfNotMatchETagTooLong = 27,
  S3StatusHeadersTooLong = 28,
  S3StatusKeyTooLong = 29,
  S3StatusUriTooLong = 30,
  S3StatusXmlParseFailure = 31,
  S3StatusEmailAddressTooLong = 32,
  S3StatusUserIdTooLong = 33,
  S3StatusUserDisplayNameTooLong = 34,
  S3StatusGroupUriTooLong = 35,
  S3StatusPermissionTooLong = 36,
  S3StatusTargetBucketTooLong = 37,
  S3StatusTargetPrefixTooLong = 38,
  S3StatusTooManyGrants = 39,
  S3StatusBadGrantee = 40,
  S3StatusBadPermission = 41,
  S3StatusXmlDocumentTooLarge = 42,
  S3StatusNameLookupError = 43,
  S3StatusFailedToConnect = 44,
  /* The server's certificate or host name did not verify; not worth another attempt. */
  S3StatusServerFailedVerification = 45,
  S3StatusConnectionFailed = 46,
  S3StatusInternalError = 47,
  S3StatusNotSupported = 48,
  S3StatusErrorAccessDenied = 49,
  S3StatusErrorAccountProblem = 50,
  S3StatusErrorAmbiguousGrantByEmailAddress = 51,
  S3StatusErrorBadDigest = 52,
  S3StatusErrorBucketAlreadyExists = 53,
  S3StatusErrorBucketAlreadyOwnedByYou = 54,
  S3StatusErrorBucketNotEmpty = 55,
  S3StatusErrorCredentialsNotSupported = 56,
  S3StatusErrorCrossLocationLoggingProhibited = 57,
  S3StatusErrorEntityTooSmall = 58,
  S3StatusErrorEntityTooLarge = 59,
  S3StatusErrorExpiredToken = 60,
  S3StatusErrorIllegalVersioningConfigurationException = 61,
  S3StatusErrorIncompleteBody = 62,
  S3StatusErrorIncorrectNumberOfFilesInPostRequest = 63,
  S3StatusErrorInlineDataTooLarge = 64,
  S3StatusErrorInternalError = 65,
  S3StatusErrorInvalidAccessKeyId = 66,
  S3StatusErrorInvalidAddressingHeader = 67,
  S3StatusErrorInvalidArgument = 68,
  S3StatusErrorInvalidBucketName = 69,
  S3StatusErrorInvalidBucketState = 70,
  S3StatusErrorInvalidDigest = 71,
  S3StatusErrorInvalidEncryptionAlgorithmError = 72,
  S3StatusErrorInvalidLocationConstraint = 73,
  S3StatusErrorInvalidObjectState = 74,
  S3StatusErrorInvalidPart = 75,
  S3StatusErrorInvalidPartOrder = 76,
  S3StatusErrorInvalidPayer = 77,
  S3StatusErrorInvalidPolicyDocument = 78,
  S3StatusErrorInvalidRange = 79,
  S3StatusErrorInvalidRequest = 80,
  S3StatusErrorInvalidSecurity = 81,
  S3StatusErrorInvalidSOAPRequest = 82,
  S3StatusErrorInvalidStorageClass = 83,
  S3StatusErrorInvalidTargetBucketForLogging = 84,
  S3StatusErrorInvalidToken = 85,
  S3StatusErrorInvalidURI = 86,
  S3StatusErrorKeyTooLong = 87,
  S3StatusErrorMalformedACLError = 88,
  S3StatusErrorMalformedPOSTRequest = 89,
  S3StatusErrorMalformedXML = 90,
  S3StatusErrorMaxMessageLengthExceeded = 91,
  S3StatusErrorMaxPostPreDataLengthExceededError = 92,
  S3StatusErrorMetadataTooLarge = 93,
  S3StatusErrorMethodNotAllowed = 94,
  S3StatusErrorMissingAttachment = 95,
  S3StatusErrorMissingContentLength = 96,
  S3StatusErrorMissingRequestBodyError = 97,
  S3StatusErrorMissingSecurityElement = 98,
  S3StatusErrorMissingSecurityHeader = 99,
  S3StatusErrorNoLoggingStatusForKey = 100,
  S3StatusErrorNoSuchBucket = 101,
  S3StatusErrorNoSuchKey = 102,
  S3StatusErrorNoSuchLifecycleConfiguration = 103,
  S3StatusErrorNoSuchUpload = 104,
  S3StatusErrorNoSuchVersion = 105,
  S3StatusErrorNotImplemented = 106,
  S3StatusErrorNotSignedUp = 107,
  S3StatusErrorNoSuchBucketPolicy = 108,
  S3StatusErrorOperationAborted = 109,
  S3StatusErrorPermanentRedirect = 110,
  S3StatusErrorPreconditionFailed = 111,
  S3StatusErrorRedirect = 112,
  S3StatusErrorRestoreAlreadyInProgress = 113,
  S3StatusErrorRequestIsNotMultiPartContent = 114,
  S3StatusErrorRequestTimeout = 115,
  S3StatusErrorRequestTimeTooSkewed = 116,
  S3StatusErrorRequestTorrentOfBucketError = 117,
  S3StatusErrorSignatureDoesNotMatch = 118,
  S3StatusErrorServiceUnavailable = 119,
  S3StatusErrorSlowDown = 120,
  S3StatusErrorTemporaryRedirect = 121,
  S3StatusErrorTokenRefreshRequired = 122,
  S3StatusErrorTooManyBuckets = 123,
  S3StatusErrorUnexpectedContent = 124,
  S3StatusErrorUnresolvableGrantByEmailAddress = 125,
  S3StatusErrorUserKeyMustBeSpecified = 126,
  S3StatusErrorQuotaExceeded = 127,
  S3StatusErrorUnknown = 128,
  S3StatusHttpErrorMovedTemporarily = 129,
  S3StatusHttpErrorBadRequest = 130,
  S3StatusHttpErrorForbidden = 131,
  S3StatusHttpErrorNotFound = 132,
  S3StatusHttpErrorConflict = 133,
  S3StatusHttpErrorUnknown = 134,
  S3StatusTransportConnectionReset = 135,
  S3StatusTransportTimedOut = 136,
  S3StatusTransportShortBody = 137,
  S3StatusTransportLongBody = 138,
  S3StatusTransportTlsFailure = 139,
  S3StatusTransportOther = 140,
  S3StatusErrorAuthorizationHeaderMalformed = 141,
  /* HTTP answers without an error document that a later attempt may not meet. */
  S3StatusHttpErrorRequestTimeout = 142,      /* 408 */
  S3StatusHttpErrorTooManyRequests = 143,     /* 429 */
  S3StatusHttpErrorInternalServerError = 144, /* 500 */
  S3StatusHttpErrorBadGateway = 145,          /* 502 */
  S3StatusHttpErrorServiceUnavailable = 146,  /* 503 */
  S3StatusHttpErrorGatewayTimeout = 147,      /* 504 */
  /* An object request without a key, or with an empty one, which would address the bucket. */
  S3StatusKeyMissing = 148,
  /* A listing page marked truncated that names no entry: there is nothing to continue from. */
  S3StatusTruncatedEmptyPage = 149,
  /* 401, whatever code its document names: Google Cloud's answer to a missing, invalid or
   * expired bearer token. */
  S3StatusHttpErrorUnauthorized = 150,
  S3StatusCount
} S3Status;

typedef enum { S3ProtocolHTTPS = 0, S3ProtocolHTTP = 1 } S3Protocol;

/* Virtual-host style puts the bucket in the host name; path style in the path. */
typedef enum { S3UriStyleVirtualHost = 0, S3UriStylePath = 1 } S3UriStyle;

typedef enum {
  S3CannedAclPrivate = 0,
  S3CannedAclPublicRead = 1,
  S3CannedAclPublicReadWrite = 2,
  S3CannedAclAuthenticatedRead = 3
} S3CannedAcl;

/* S3_initialize flags. */
#define S3_INIT_ALL 0x1          /* set up the process-wide transport state */
#define S3_INIT_VERIFY_PEER 0x2  /* verify the server's TLS certificate and host name */
#define S3_INIT_SIGNATURE_V4 0x4 /* sign with AWS Signature Version 4 (the only signer) */

#define S3_MAX_KEY_SIZE 1024
#define S3_MAX_HOSTNAME_SIZE 255

/*
 * Where and as whom a request goes. Authentication is chosen from the credentials:
 *   secret key set          -> AWS Signature Version 4 for authRegion ("us-east-1" when
 *                              null), with x-amz-security-token when securityToken is set;
 *   token, no secret key    -> "Authorization: Bearer <securityToken>";
 *   key id only             -> "x-goog-project-id: <accessKeyId>";
 *   nothing                 -> anonymous.
 * hostName may carry a port ("127.0.0.1:9000"); null means the S3_initialize default.
 */
typedef struct S3BucketContext {
  const char *hostName;
  const char *bucketName;
  S3Protocol protocol;
  S3UriStyle uriStyle;
  const char *accessKeyId;
  const char *secretAccessKey;
  const char *securityToken;
  const char *authRegion;
  /* Requester-pays billing, or null/0 for none. userProject is Google Cloud's billed project:
   * x-goog-user-project in Google Cloud's header dialect, the userProject query parameter in
   * the Signature V4 dialect (which takes no x-goog-* header). requesterPays sends S3's
   * "x-amz-request-payer: requester" in the Signature V4 dialect. */
  const char *userProject;
  char requesterPays;
} S3BucketContext;

typedef struct S3NameValue {
  const char *name;
  const char *value;
} S3NameValue;

/* usesServerSideEncryption values. */
#define S3_SSE_NONE 0
#define S3_SSE_S3 1
/* The ETag is not the MD5 of the object (KMS or customer keys, multipart or composite). */
#define S3_SSE_ETAG_NOT_MD5 2

typedef struct S3ResponseProperties {
  const char *requestId;
  const char *requestId2;
  const char *contentType;
  uint64_t contentLength;
  const char *server;
  const char *eTag;     /* as sent, with its quotes */
  int64_t lastModified; /* seconds since the epoch, -1 when absent */
  int metaDataCount;
  const S3NameValue *metaData; /* x-amz-meta-* and x-goog-meta-*, names without the prefix */
  char usesServerSideEncryption;
  const char *bucketRegion; /* x-amz-bucket-region, or null */
  /* 0 when the answer had no Content-Length (contentLength is then 0 and says nothing). */
  char contentLengthKnown;
  /* The whole object's size: a 206 answer's Content-Range total, else Content-Length, else
   * Google Cloud's x-goog-stored-content-length. 0 in objectSizeKnown when none says it: the
   * size is then unknown, never 0. */
  uint64_t objectSize;
  char objectSizeKnown;
  /* Checksums the service keeps, as the base64 of the digest's big-endian bytes, or null:
   * crc32c from x-goog-hash's "crc32c=" item or from x-amz-checksum-crc32c, md5 from
   * x-goog-hash's "md5=" item. x-goog-hash may come as several headers, each holding one or more
   * comma-separated "name=value" items. */
  const char *crc32cBase64;
  const char *md5Base64;
  /* x-amz-storage-class or x-goog-storage-class, x-amz-restore (an archived object's restore:
   * 'ongoing-request="true"' while it runs) and Google Cloud's x-goog-generation (the stored
   * version's number; on a copy's answer, the new object's), or null. */
  const char *storageClass;
  const char *restore;
  const char *generation;
} S3ResponseProperties;

typedef struct S3ErrorDetails {
  const char *message;
  const char *resource;
  const char *furtherDetails;
  int extraDetailsCount;
  const S3NameValue *extraDetails;
} S3ErrorDetails;

typedef struct S3PutProperties {
  const char *contentType;
  const char *md5; /* base64 of the 16 digest bytes, sent as Content-MD5 */
  const char *cacheControl;
  const char *contentDispositionFilename;
  const char *contentEncoding;
  int64_t expires; /* -1 for none */
  S3CannedAcl cannedAcl;
  int metaDataCount;
  const S3NameValue *metaData;
  char useServerSideEncryption;
  /* The body's CRC32C as the base64 of its 4 big-endian bytes, or null, for the service to
   * check. Sent in the request's header dialect: x-amz-checksum-crc32c when the request is
   * signed with Signature V4, else Google Cloud's "x-goog-hash: crc32c=". On
   * S3_initiate_multipart the value is not sent: being set announces that every part carries
   * one (x-amz-checksum-algorithm: CRC32C in the Signature V4 dialect). */
  const char *crc32c;
  /* The stored object's class ("STANDARD", "NEARLINE", "GLACIER", ...), or null for the
   * bucket's default: x-goog-storage-class or x-amz-storage-class by the request's dialect. */
  const char *storageClass;
} S3PutProperties;

typedef struct S3ListBucketContent {
  const char *key;
  int64_t lastModified;
  const char *eTag;
  uint64_t size;
  const char *ownerId;
  const char *ownerDisplayName;
} S3ListBucketContent;

typedef struct S3RequestContext S3RequestContext; /* only null is supported */

typedef S3Status(S3ResponsePropertiesCallback)(const S3ResponseProperties *properties,
                                               void *callbackData);
typedef void(S3ResponseCompleteCallback)(S3Status status, const S3ErrorDetails *errorDetails,
                                         void *callbackData);
typedef S3Status(S3GetObjectDataCallback)(int bufferSize, const char *buffer, void *callbackData);
/* Fills up to bufferSize bytes; returns the count, 0 at the end, -1 to abort. */
typedef int(S3PutObjectDataCallback)(int bufferSize, char *buffer, void *callbackData);
typedef S3Status(S3ListBucketCallback)(int isTruncated, const char *nextMarker, int contentsCount,
                                       const S3ListBucketContent *contents, int commonPrefixesCount,
                                       const char **commonPrefixes, void *callbackData);
typedef S3Status(S3ListServiceCallback)(const char *ownerId, const char *ownerDisplayName,
                                        const char *bucketName, int64_t creationDateSeconds,
                                        void *callbackData);

typedef struct S3ResponseHandler {
  S3ResponsePropertiesCallback *propertiesCallback;
  S3ResponseCompleteCallback *completeCallback;
} S3ResponseHandler;

typedef struct S3GetObjectHandler {
  S3ResponseHandler responseHandler;
  S3GetObjectDataCallback *getObjectDataCallback;
} S3GetObjectHandler;

typedef struct S3PutObjectHandler {
  S3ResponseHandler responseHandler;
  S3PutObjectDataCallback *putObjectDataCallback;
} S3PutObjectHandler;

typedef struct S3ListBucketHandler {
  S3ResponseHandler responseHandler;
  S3ListBucketCallback *listBucketCallback;
} S3ListBucketHandler;

typedef struct S3ListServiceHandler {
  S3ResponseHandler responseHandler;
  S3ListServiceCallback *listServiceCallback;
} S3ListServiceHandler;

typedef struct S3GetConditions {
  int64_t ifModifiedSince;
  int64_t ifNotModifiedSince;
  const char *ifMatchETag;
  const char *ifNotMatchETag;
} S3GetConditions;

/* Sets up process-wide state on the first call and counts every call; each successful call is
 * matched by one S3_deinitialize. While the count stays above 0, the first call's default host
 * and user agent stay (later calls do not replace them), and peer verification is on once any
 * call asked for it (S3_INIT_VERIFY_PEER); when the count returns to 0 both start afresh.
 * Requests made while the count is 0 verify the peer. */
S3Status S3_initialize(const char *userAgentInfo, int flags, const char *defaultS3HostName);
void S3_deinitialize(void);

/* Bounds how long a request may wait: connect_timeout_seconds for the TCP and TLS handshake,
 * low_speed_time_seconds of less than one byte a second before a stalled transfer fails with
 * S3StatusTransportTimedOut. A value <= 0 restores the default (30 s to connect; 60 s stalled,
 * or the environment variable VORLAN_S3_LOW_SPEED_TIME when it holds a positive number of
 * seconds). Applies to requests that start after the call; safe from any thread. */
void S3_set_transfer_timeouts(int connect_timeout_seconds, int low_speed_time_seconds);

/* Trusts the certificate authorities of the PEM file `path` in addition to the system's trusted
 * store, for endpoints whose certificates a private authority signed; peer verification itself
 * stays as S3_initialize set it. The file is read now, so later changes to it do not count; a
 * null or empty path trusts the system's store alone again. Fails, keeping the previous
 * setting, with S3StatusFailedToInitializeRequest when the file cannot be opened (errno then
 * says why) and with S3StatusTransportTlsFailure when it holds no certificate or a malformed
 * one. Applies to requests that start after the call (connections already open keep the trust
 * they were set up with), until the next call (S3_deinitialize keeps it); safe from any
 * thread. An HTTPS request fails with S3StatusTransportTlsFailure rather than go without these
 * authorities when libcurl's TLS library cannot take them. */
S3Status S3_set_ca_file(const char *path);

/* "OK", "ErrorNoSuchKey", ...: the status's name without the S3Status prefix. */
const char *S3_get_status_name(S3Status status);
/* True for failures that a later attempt may not meet: transport failures, HTTP 408, 429,
 * 500, 502, 503, 504, SlowDown, RequestTimeout, InternalError. */
int S3_status_is_retryable(S3Status status);

/* Object requests need a bucket and a key of 1 to S3_MAX_KEY_SIZE bytes; otherwise they
 * complete at once, without connecting, with an InvalidBucketName status, S3StatusKeyMissing
 * or S3StatusKeyTooLong. Bucket requests need a bucket; only S3_list_service addresses none.
 * A null key addresses the bucket itself (HeadBucket). */
void S3_head_object(const S3BucketContext *bucketContext, const char *key,
                    S3RequestContext *requestContext, int timeoutMs,
                    const S3ResponseHandler *handler, void *callbackData);
/* byteCount 0 means to the end of the object. A request for a range (startByte or byteCount
 * not 0) succeeds only when answered by 206 from startByte. A 206 answer (to any request) must
 * name a range inside the object ("bytes first-last/total") no longer than asked; such a range,
 * and more bytes than byteCount or the answer's Content-Length, fail with
 * S3StatusTransportLongBody. An answer that ends before the bytes asked for (or the object) end
 * fails with S3StatusTransportShortBody after its bytes were handed over, so that the caller
 * may resume; so does a body that nothing measures and that only the connection's close ended.
 * The body is handed over as stored, not decoded (gzip is accepted, so Google Cloud does not
 * decompress it). */
void S3_get_object(const S3BucketContext *bucketContext, const char *key,
                   const S3GetConditions *getConditions, uint64_t startByte, uint64_t byteCount,
                   S3RequestContext *requestContext, int timeoutMs,
                   const S3GetObjectHandler *handler, void *callbackData);
void S3_put_object(const S3BucketContext *bucketContext, const char *key, uint64_t contentLength,
                   const S3PutProperties *putProperties, S3RequestContext *requestContext,
                   int timeoutMs, const S3PutObjectHandler *handler, void *callbackData);
/* Copies bucketContext's bucket/key to the destination (a null destinationBucket means the
 * same bucket). The object's metadata is kept unless putProperties is given. Success only when
 * the service confirms the copy. */
void S3_copy_object(const S3BucketContext *bucketContext, const char *key,
                    const char *destinationBucket, const char *destinationKey,
                    const S3PutProperties *putProperties, int64_t *lastModifiedReturn,
                    int eTagReturnSize, char *eTagReturn, S3RequestContext *requestContext,
                    int timeoutMs, const S3ResponseHandler *handler, void *callbackData);
void S3_delete_object(const S3BucketContext *bucketContext, const char *key,
                      S3RequestContext *requestContext, int timeoutMs,
                      const S3ResponseHandler *handler, void *callbackData);
/* Whether requests made with the context speak Google Cloud's x-goog-* headers: those not
 * signed with Signature V4 that carry a token, a project or a user project. Every other request
 * speaks S3's x-amz-*. */
int S3_google_dialect(const S3BucketContext *bucketContext);
/* The version a copy must read or a delete must remove; otherwise the request changes nothing
 * and fails with S3StatusErrorPreconditionFailed (412). Each member goes only in the dialect
 * that has it: eTag in S3's (x-amz-copy-source-if-match on a copy, If-Match on a delete),
 * generation in Google Cloud's (x-goog-copy-source-if-generation-match,
 * x-goog-if-generation-match). A null member asks nothing. */
typedef struct S3VersionCondition {
  const char *eTag;       /* as S3ResponseProperties.eTag gives it, quotes included */
  const char *generation; /* as S3ResponseProperties.generation gives it */
} S3VersionCondition;
/* S3_copy_object and S3_delete_object with a condition on the source's version (null: none). */
void S3_copy_object_if(const S3BucketContext *bucketContext, const char *key,
                       const char *destinationBucket, const char *destinationKey,
                       const S3VersionCondition *condition, const S3PutProperties *putProperties,
                       int64_t *lastModifiedReturn, int eTagReturnSize, char *eTagReturn,
                       S3RequestContext *requestContext, int timeoutMs,
                       const S3ResponseHandler *handler, void *callbackData);
void S3_delete_object_if(const S3BucketContext *bucketContext, const char *key,
                         const S3VersionCondition *condition, S3RequestContext *requestContext,
                         int timeoutMs, const S3ResponseHandler *handler, void *callbackData);
/* RestoreObject: asks the service to bring an archived object (403 InvalidObjectState on GET)
 * back for `days` days with the retrieval `tier` ("Bulk", "Standard", "Expedited"; null: the
 * service's default); days < 1 names no lifetime, as an object in S3 Intelligent-Tiering's archive
 * tiers needs. 202 (restore started) and 200 (already restored) succeed; a restore already
 * running fails with S3StatusErrorRestoreAlreadyInProgress. */
void S3_restore_object(const S3BucketContext *bucketContext, const char *key, int days,
                       const char *tier, S3RequestContext *requestContext, int timeoutMs,
                       const S3ResponseHandler *handler, void *callbackData);
/* maxkeys 0 means the service's default. A page marked truncated that names no entry fails with
 * S3StatusTruncatedEmptyPage. */
void S3_list_bucket(const S3BucketContext *bucketContext, const char *prefix, const char *marker,
                    const char *delimiter, int maxkeys, S3RequestContext *requestContext,
                    int timeoutMs, const S3ListBucketHandler *handler, void *callbackData);
/* A null hostName means the S3_initialize default. */
void S3_create_bucket(S3Protocol protocol, const char *accessKeyId, const char *secretAccessKey,
                      const char *securityToken, const char *hostName, const char *bucketName,
                      const char *authRegion, S3CannedAcl cannedAcl, const char *locationConstraint,
                      S3RequestContext *requestContext, int timeoutMs,
                      const S3ResponseHandler *handler, void *callbackData);
void S3_delete_bucket(S3Protocol protocol, S3UriStyle uriStyle, const char *accessKeyId,
                      const char *secretAccessKey, const char *securityToken, const char *hostName,
                      const char *bucketName, const char *authRegion,
                      S3RequestContext *requestContext, int timeoutMs,
                      const S3ResponseHandler *handler, void *callbackData);
void S3_list_service(S3Protocol protocol, const char *accessKeyId, const char *secretAccessKey,
                     const char *securityToken, const char *hostName, const char *authRegion,
                     S3RequestContext *requestContext, int timeoutMs,
                     const S3ListServiceHandler *handler, void *callbackData);

/* Multipart uploads, as S3 and Google Cloud's XML interface share them. Requests that name an
 * upload complete at once with S3StatusFailedToInitializeRequest when uploadId is null or
 * empty: without it they would address the object itself. */

/* CreateMultipartUpload: the upload id arrives through uploadIdCallback before completion. */
typedef S3Status(S3MultipartInitialCallback)(const char *uploadId, void *callbackData);
typedef struct S3MultipartInitialHandler {
  S3ResponseHandler responseHandler;
  S3MultipartInitialCallback *uploadIdCallback;
} S3MultipartInitialHandler;
/* The object-to-be's properties are those of a PUT (content type, metadata, ...); their md5 is
 * not sent, as the request has no body. An answer without an UploadId fails with
 * S3StatusXmlParseFailure. */
void S3_initiate_multipart(const S3BucketContext *bucketContext, const char *key,
                           const S3PutProperties *putProperties, S3RequestContext *requestContext,
                           int timeoutMs, const S3MultipartInitialHandler *handler,
                           void *callbackData);
/* UploadPart: partNumber 1..10000; the body is pulled through the handler's data callback
 * (partContentLength bytes, Content-MD5 from putProperties->md5 and the CRC32C header from
 * putProperties->crc32c when set; other put properties ignored). The answer's ETag arrives in the
 * response properties (eTag). */
void S3_upload_part(const S3BucketContext *bucketContext, const char *key, const char *uploadId,
                    int partNumber, uint64_t partContentLength,
                    const S3PutProperties *putProperties, S3RequestContext *requestContext,
                    int timeoutMs, const S3PutObjectHandler *handler, void *callbackData);
typedef struct S3CompletedPart {
  int partNumber;
  const char *eTag; /* as the UploadPart answer gave it, quotes included */
  /* The part's CRC32C (base64) or null; listed as ChecksumCRC32C in the Signature V4 dialect,
   * where an upload whose parts carried one must name it again. */
  const char *crc32c;
} S3CompletedPart;
/* CompleteMultipartUpload: the library writes the part list (partCount >= 1 parts, each with
 * its eTag, else S3StatusFailedToInitializeRequest). A 200 answer whose body is an <Error> fails
 * with that error's status (as CopyObject does); one without a CompleteMultipartUploadResult fails
 * with S3StatusXmlParseFailure. The final ETag (quotes included) is copied into eTagReturn when it
 * fits. The service may take long to answer: give timeoutMs room. */
void S3_complete_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                                  const char *uploadId, int partCount, const S3CompletedPart *parts,
                                  int eTagReturnSize, char *eTagReturn,
                                  S3RequestContext *requestContext, int timeoutMs,
                                  const S3ResponseHandler *handler, void *callbackData);
/* AbortMultipartUpload; 204 (and 404 NoSuchUpload as the caller sees it: a status) */
void S3_abort_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                               const char *uploadId, S3RequestContext *requestContext,
                               int timeoutMs, const S3ResponseHandler *handler, void *callbackData);
/* ListMultipartUploads (one page, up to 1000): one callback per upload in progress. */
typedef S3Status(S3ListMultipartUploadsCallback)(const char *key, const char *uploadId,
                                                 void *callbackData);
typedef struct S3ListMultipartUploadsHandler {
  S3ResponseHandler responseHandler;
  S3ListMultipartUploadsCallback *uploadCallback;
} S3ListMultipartUploadsHandler;
void S3_list_multipart_uploads(const S3BucketContext *bucketContext, const char *prefix,
                               S3RequestContext *requestContext, int timeoutMs,
                               const S3ListMultipartUploadsHandler *handler, void *callbackData);

#ifdef __cplusplus
}
#endif

#endif /* VORLAN_S3_H */
