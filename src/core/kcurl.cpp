#include "core/kcurl.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <utility>
#include <strings.h>

#include <curl/curl.h>

static_assert(CURL_ERROR_SIZE == 256, "koCurl::error_ is sized for libcurl's error buffer");

namespace {

constexpr long kTransferSeconds = 300;
// koString lengths are ints to its appenders; a larger body could not be held.
constexpr uint32_t kMaxBody = 0x7ffffffe;
// Posted as the body of a POST without one, so libcurl never falls back to
// reading the process's standard input.
const char kEmptyBody[] = "";

}  // namespace

int koCurl::GlobalInit() { return curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK ? 1 : 0; }

void koCurl::GlobalCleanup() { curl_global_cleanup(); }

koCurl::koCurl() : handle_(curl_easy_init()), response_(uint32_t{65536}) {}

koCurl::~koCurl() {
  if (handle_) curl_easy_cleanup(handle_);
  curl_slist_free_all(headers_);
}

int koCurl::Reset() {
  curl_slist_free_all(headers_);
  headers_ = nullptr;

  if (handle_) curl_easy_cleanup(handle_);
  handle_ = curl_easy_init();
  if (!handle_) {
    last_result_ = CURLE_FAILED_INIT;
    return last_result_;
  }
  // Clients run on worker threads; libcurl must not raise SIGALRM for name look-ups there.
  last_result_ = curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_setopt(handle_, CURLOPT_TIMEOUT, kTransferSeconds);
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_);
  // An error status still delivers its page; the callers read the service's error texts from it.
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_setopt(handle_, CURLOPT_FAILONERROR, 0L);
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
  // Deliberately off: a transfer never fails on the server's certificate or its name.
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 0L);
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 0L);
  return last_result_;
}

int koCurl::SetProxy(const char* proxy, int socks) {
  if (!handle_) return 0;
  last_result_ = CURLE_OK;
  if (socks) last_result_ = curl_easy_setopt(handle_, CURLOPT_PROXYTYPE, (long)CURLPROXY_SOCKS5);
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_setopt(handle_, CURLOPT_PROXY, proxy);
  return last_result_ == CURLE_OK ? 1 : 0;
}

int koCurl::SetProxyUserPwd(const char* userPwd) {
  if (!handle_) return 0;
  last_result_ = curl_easy_setopt(handle_, CURLOPT_PROXYUSERPWD, userPwd);
  return last_result_ == CURLE_OK ? 1 : 0;
}

int koCurl::AddHeader(const char* line) {
  // On failure libcurl leaves the old list intact.
  curl_slist* list = curl_slist_append(headers_, line);
  if (!list) return 0;
  headers_ = list;
  return 1;
}

size_t koCurl::WriteBlock(char* data, size_t size, size_t count, void* self) {
  koCurl* client = static_cast<koCurl*>(self);
  size_t n = size * count;
  // Refusing the block fails the transfer, which beats a silently cut body.
  if (n > kMaxBody - client->received_) return 0;
  // A body of announced length gets its buffer at once: growing it step by
  // step holds up to three times its size while the last step copies.
  curl_off_t announced = -1;
  if (client->received_ == 0 &&
      curl_easy_getinfo(client->handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced > (curl_off_t)client->response_.GetCapacity() && announced < (curl_off_t)kMaxBody)
    client->response_ = koString((uint32_t)announced + 1);
  client->response_.Append(data, (int)n);
  client->received_ += (uint32_t)n;
  assert(client->received_ == client->response_.GetLength());
  return n;
}

int koCurl::Prepare(const char* url, const char* method, const char* body, int length) {
  if (!handle_) return CURLE_FAILED_INIT;
  CURLcode rc = curl_easy_setopt(handle_, CURLOPT_URL, url);
  if (rc != CURLE_OK) return rc;

  bool post = strcasecmp(method, "POST") == 0;
  if (post) {
    rc = curl_easy_setopt(handle_, CURLOPT_POST, 1L);
  } else if (strcasecmp(method, "GET") == 0) {
    rc = curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
  } else {
    // Without a write function libcurl would copy the body to standard output.
    snprintf(error_, sizeof(error_), "Unsupported HTTP method: %s", method);
    return CURLE_UNSUPPORTED_PROTOCOL;
  }
  if (rc == CURLE_OK) rc = curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &koCurl::WriteBlock);
  if (rc == CURLE_OK) rc = curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
  if (rc != CURLE_OK) return rc;

  if (post) {
    if (!body) {
      body = kEmptyBody;
      length = 0;
    } else {
      if (length < 0) length = (int)strlen(body);
      koString line;
      line.Format("Content-Length: %d", length);
      if (!AddHeader(line.GetString())) return CURLE_OUT_OF_MEMORY;
    }
    rc = curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE, (long)length);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, body);
    if (rc != CURLE_OK) return rc;
  }
  if (headers_) rc = curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
  return rc;
}

int koCurl::Request(const char* url, const char* method, const char* body, int length) {
  response_.Clear();
  received_ = 0;
  error_[0] = 0;

  last_result_ = Prepare(url, method, body, length);
  if (last_result_ == CURLE_OK) last_result_ = curl_easy_perform(handle_);

  // The headers belong to this one request; the handle must not keep pointing at them.
  if (handle_) curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, (curl_slist*)nullptr);
  curl_slist_free_all(headers_);
  headers_ = nullptr;
  return last_result_ == CURLE_OK ? 1 : 0;
}

int koCurl::GetResponse(koString& out, uint32_t* length) const {
  out.Clear();
  out.Append(response_);
  if (length) *length = received_;
  return 1;
}

int koCurl::TakeResponse(koString& out, uint32_t* length) {
  out = std::move(response_);
  if (length) *length = received_;
  received_ = 0;
  return 1;
}

void koCurl::GetErrorText(koString& out) const {
  out.SetAs(error_, (int)strnlen(error_, sizeof(error_)));
}
