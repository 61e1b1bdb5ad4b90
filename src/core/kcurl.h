// koCurl: the one outgoing HTTP client, a wrapper of one libcurl easy handle.
//
// The transfer policy is fixed: 300 s per transfer, redirects followed, server
// certificates and host names not checked, and an HTTP error status still a
// successful transfer whose body the caller inspects. The whole body is kept
// in memory.
//
// One request: Reset (0 = ready), then AddHeader / SetProxy / SetProxyUserPwd
// as needed, then Request, then GetResponse or, after a failure, GetErrorText.
// Options set before Reset are lost with the old handle.
//
// Never logs: a failure answers 0 (Reset: a non-zero code) and leaves
// libcurl's text for the caller.
// Not thread-safe: one object belongs to one thread at a time. GlobalInit must
// have run once before the first object is created.
#ifndef PV_CORE_KCURL_H
#define PV_CORE_KCURL_H

#include <cstddef>
#include <cstdint>

#include "core/kstring.h"

struct curl_slist;

class koCurl {
 public:
  // curl_global_init with every feature; once, before any thread uses a client.
  // 1 on success.
  static int GlobalInit();
  // curl_global_cleanup; once, at exit, when no client is left.
  static void GlobalCleanup();

  // A fresh easy handle with no options set yet (Reset sets the policy).
  koCurl();
  virtual ~koCurl();
  koCurl(const koCurl&) = delete;
  koCurl& operator=(const koCurl&) = delete;

  // Drops the header list, replaces the handle by a fresh one and sets the
  // transfer policy. Unlike the other calls it answers libcurl's result code
  // of the last option set: 0 (CURLE_OK) when the handle is ready.
  int Reset();
  // proxy: "host:port". socks != 0 makes it a SOCKS5 proxy, else an HTTP one
  // (HTTPS addresses then go through CONNECT). 1 on success.
  int SetProxy(const char* proxy, int socks);
  // userPwd: "user:password" for the proxy set above. 1 on success.
  int SetProxyUserPwd(const char* userPwd);
  // One header line ("Name: value") for the next request only. 1 on success.
  int AddHeader(const char* line);

  // One transfer. method is "GET" or "POST" in any case; others are refused.
  // A POST sends body as given: length bytes, or its text length when length
  // is negative; a null body sends an empty one. 1 when the transfer
  // completed, whatever the HTTP status.
  int Request(const char* url, const char* method, const char* body, int length);

  // out = the received body, zero bytes included; *length (when given) = its
  // byte count. Valid until the next Request. Always 1.
  int GetResponse(koString& out, uint32_t* length = nullptr) const;
  // As GetResponse, but hands the body over without a copy: the client holds
  // no body afterwards. Always 1.
  int TakeResponse(koString& out, uint32_t* length = nullptr);
  // out = libcurl's text for the last failure ("" when it left none).
  void GetErrorText(koString& out) const;

 private:
  static size_t WriteBlock(char* data, size_t size, size_t count, void* self);
  // Sets the request's options; libcurl's CURLcode, 0 when ready to perform.
  int Prepare(const char* url, const char* method, const char* body, int length);

  // The libcurl easy handle (CURL*), null only when libcurl could not make one.
  void* handle_ = nullptr;
  // libcurl's CURLcode of the last option call or transfer; 0 = success.
  int last_result_ = 0;
  // libcurl's CURL_ERROR_SIZE.
  char error_[256] = {};
  koString response_;
  // Equals response_'s length: the bytes written by libcurl.
  uint32_t received_ = 0;
  // Extra lines of the next request; null between requests.
  curl_slist* headers_ = nullptr;
};

#endif  // PV_CORE_KCURL_H
