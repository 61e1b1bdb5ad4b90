// Fuzz target: an ini file as another program (or the browser library)
// may have left it. The input is the file; every section and key name it
// appears to hold is read with IniReadString, a key is written with
// IniWriteString, and everything is read again. What must hold: the write
// changes no other value, the written value reads back, a second equal
// write leaves the file byte for byte, and the document prints stably.
#include <map>
#include <set>
#include <string>
#include <utility>

#include "core/kfile.h"
#include "core/kinifile.h"
#include "fuzz_support.h"

using pvfuzz::Check;

namespace {

constexpr size_t kMaxNames = 24;
const char kMissing[] = "\x01missing";

std::string ReadFile(const std::string& path) {
  koString text;
  koReadWholeFile(path.c_str(), 1u << 24, text, nullptr);
  return std::string(text.GetString(), text.GetLength());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  Check(f != nullptr, "open the file", path);
  Check(fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() || bytes.empty(), "write the file", path);
  fclose(f);
}

// The section and key names the text seems to hold (headers, text before '=').
void Names(const std::string& text, std::set<std::string>& sections, std::set<std::string>& keys) {
  sections.insert("");
  size_t at = 0;
  while (at < text.size() && (sections.size() < kMaxNames || keys.size() < kMaxNames)) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\0') != std::string::npos) continue;
    if (!line.empty() && line[0] == '[') {
      size_t close = line.find(']');
      if (close != std::string::npos && sections.size() < kMaxNames) sections.insert(line.substr(1, close - 1));
    } else if (line.find('=') != std::string::npos && keys.size() < kMaxNames) {
      keys.insert(line.substr(0, line.find('=')));
    }
  }
}

std::map<std::pair<std::string, std::string>, std::string> Values(const std::string& path,
                                                                  const std::set<std::string>& sections,
                                                                  const std::set<std::string>& keys) {
  std::map<std::pair<std::string, std::string>, std::string> values;
  for (const std::string& s : sections)
    for (const std::string& k : keys) {
      koString out;
      IniReadString(s.c_str(), k.c_str(), kMissing, out, path.c_str());
      values[{s, k}] = std::string(out.GetString(), out.GetLength());
    }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string path = pvfuzz::PrivateFolder() + "/postvane.ini";
  WriteFile(path, input);

  std::set<std::string> sections, keys;
  Names(input, sections, keys);
  sections.insert("fuzz");
  keys.insert("written");
  auto before = Values(path, sections, keys);

  koIniFile doc;
  doc.Open(path.c_str());
  koString printed;
  doc.Print(printed);
  doc.Close();

  const char kValue[] = "a value = with [brackets]";
  int written = IniWriteString("fuzz", "written", kValue, path.c_str());
  auto after = Values(path, sections, keys);
  for (const auto& [name, value] : before) {
    if (name.first == "fuzz" && name.second == "written") continue;
    Check(after[name] == value, "a write changes no other value",
          "[" + name.first + "] " + name.second + ": " + value + " -> " + after[name] + "\n" + input);
  }
  if (written) {
    Check(after[{"fuzz", "written"}] == kValue, "the written value reads back", input);
    std::string once = ReadFile(path);
    Check(IniWriteString("fuzz", "written", kValue, path.c_str()) == 1, "the second write", input);
    Check(ReadFile(path) == once, "an equal write keeps the file", once);
    koIniFile reread;
    reread.Open(path.c_str());
    koString text;
    reread.Print(text);
    Check(std::string(text.GetString(), text.GetLength()) == once, "the document prints as saved", once);
  }
  return 0;
}
