// Fuzz target: request parameters as the dispatcher reads them
// (koHttpConnection::GetParameter) from a query and a form body. The input
// is cut at zero bytes into names and values; the first half of the pairs
// goes into the query, the rest into the form body, each URL-encoded as a
// page's script encodes it. What must hold: every value comes back under its
// name (names ignore ASCII case, the n-th of equal names is index n), query
// values as they were and form values without blanks around them.
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/khttpconnection.h"
#include "fuzz_support.h"

using pvfuzz::Check;

namespace {

std::string Encoded(const std::string& text) {
  koString s;
  s.SetAs(text.data(), static_cast<int>(text.size()));
  s.UrlEncode(0);
  return std::string(s.GetString(), s.GetLength());
}

std::string Folded(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

std::string Trimmed(const std::string& s) {
  const char* blanks = " \t\n\v\f\r";
  size_t from = s.find_first_not_of(blanks);
  if (from == std::string::npos) return std::string();
  return s.substr(from, s.find_last_not_of(blanks) - from + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pvfuzz::Pieces pieces(data, size);
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!pieces.Done() && pairs.size() < 64) {
    std::string name = pieces.Next();
    std::string value = pieces.Next();
    pairs.emplace_back(name, value);
  }
  const size_t inQuery = (pairs.size() + 1) / 2;
  std::string query, form;
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::string& out = i < inQuery ? query : form;
    if (!out.empty()) out += '&';
    out += Encoded(pairs[i].first) + "=" + Encoded(pairs[i].second);
  }
  std::string request = "POST /?" + query +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: " +
                        std::to_string(form.size()) + "\r\n\r\n" + form;

  int ends[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
  int room = 1 << 20;
  setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  for (size_t at = 0; at < request.size();) {
    ssize_t n = send(ends[1], request.data() + at, request.size() - at, MSG_NOSIGNAL);
    Check(n > 0, "queue the request");
    at += static_cast<size_t>(n);
  }
  shutdown(ends[1], SHUT_WR);
  {
    koHttpConnection connection(ends[0], nullptr);
    bool read = connection.ReadRequest() == 1;
    Check(read || request.size() > koHttpConnection::kMaxHeadLength, "the request reads", request);
    if (read) {
      std::map<std::string, uint32_t> seen;
      for (size_t i = 0; i < pairs.size(); ++i) {
        const std::string& name = pairs[i].first;
        uint32_t index = seen[Folded(name)]++;
        // A name holding a zero byte cannot be asked for.
        if (name.find('\0') != std::string::npos) continue;
        const koString* value = connection.GetParameter(name.c_str(), index);
        std::string got(value->GetString(), value->GetLength());
        std::string want = i < inQuery ? pairs[i].second : Trimmed(pairs[i].second);
        Check(got == want, "the value comes back", name + " #" + std::to_string(index) + ": " + want + " -> " + got);
      }
    }
  }
  close(ends[1]);
  return 0;
}
