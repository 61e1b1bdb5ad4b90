#include "support/imap_peers.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace pvtest {

namespace {

std::string Base64(const std::string& in) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    for (int s = 18; s >= 0; s -= 6) out += kDigits[(v >> s) & 63];
  }
  if (i < in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (i + 1 < in.size() ? (unsigned char)in[i + 1] << 8 : 0);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

bool DovecotPeer::MakeMailbox(const std::string& path) {
  for (const char* sub : {"", "/cur", "/new", "/tmp"}) {
    std::string dir = path + sub;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (chown(dir.c_str(), uid_, gid_) != 0) return false;
  }
  return true;
}

bool DovecotPeer::Start(const std::string& user, const std::string& password,
                        const std::vector<std::string>& users) {
  if (Dir().empty()) return Fail("no temporary folder");
  user_ = user;
  // As root, the mail user is dovecot's own unprivileged user; otherwise
  // every process of the server runs as the caller.
  std::string internalUser;
  std::string loginUser;
  if (geteuid() == 0) {
    struct passwd* pw = getpwnam("dovecot");
    if (pw == nullptr || getpwnam("dovenull") == nullptr) return Fail("the dovecot users are missing");
    uid_ = (int)pw->pw_uid;
    gid_ = (int)pw->pw_gid;
    internalUser = "dovecot";
    loginUser = "dovenull";
  } else {
    struct passwd* pw = getpwuid(geteuid());
    if (pw == nullptr) return Fail("the calling user has no name");
    uid_ = (int)geteuid();
    gid_ = (int)getegid();
    internalUser = loginUser = pw->pw_name;
  }
  // The server's unprivileged processes must reach into the folder.
  if (chmod(Dir().c_str(), 0755) != 0) return Fail("cannot open up the peer's folder");
  std::string mail = dir_.File("mail");
  if (mkdir(mail.c_str(), 0755) != 0 && errno != EEXIST) return Fail("cannot make the mail folder");
  if (chown(mail.c_str(), uid_, gid_) != 0) return Fail("cannot hand the mail folder over");
  std::vector<std::string> all = {user_};
  all.insert(all.end(), users.begin(), users.end());
  for (const std::string& name : all)
    if (!MakeMailbox(mail + "/" + name)) return Fail("cannot make the mailbox");

  std::string cert = dir_.File("cert.pem");
  std::string key = dir_.File("key.pem");
  std::string command = "openssl req -x509 -batch -nodes -days 2 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                        "-subj /CN=loopback-test -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
                        key + "' -out '" + cert + "' >/dev/null 2>&1";
  if (system(command.c_str()) != 0) return Fail("openssl could not make a certificate");
  // Base64 keeps any password (':' included) out of the file's syntax.
  std::string passwd;
  for (const std::string& name : all)
    passwd += name + ":{PLAIN.b64}" + Base64(password) + ":" + std::to_string(uid_) + ":" +
              std::to_string(gid_) + "::" + mail + "/" + name + "\n";
  if (!WriteFileAtomic(dir_.File("passwd"), passwd, 0644)) return Fail("cannot write the passwd file");

  return LaunchOnFreePort([&](int port) {
    std::string config =
        "protocols = imap\n"
        "listen = 127.0.0.1\n"
        "base_dir = " + dir_.File("run") + "\n"
        "state_dir = " + dir_.File("state") + "\n"
        "log_path = " + dir_.File("dovecot.log") + "\n"
        "default_internal_user = " + internalUser + "\n"
        "default_login_user = " + loginUser + "\n"
        "first_valid_uid = 1\n"
        "ssl = required\n"
        "ssl_cert = <" + cert + "\n"
        "ssl_key = <" + key + "\n"
        "auth_mechanisms = plain login\n"
        "passdb {\n  driver = passwd-file\n  args = " + dir_.File("passwd") + "\n}\n"
        "userdb {\n  driver = passwd-file\n  args = " + dir_.File("passwd") + "\n}\n"
        "mail_location = maildir:~\n"
        "namespace inbox {\n  inbox = yes\n  separator = /\n"
        "  mailbox \"[Gmail]/All Mail\" {\n    special_use = \\All\n  }\n"
        "  mailbox \"[Gmail]/Spam\" {\n    special_use = \\Junk\n  }\n"
        "  mailbox \"[Gmail]/Trash\" {\n    special_use = \\Trash\n  }\n"
        "}\n"
        "service imap-login {\n"
        "  inet_listener imap {\n    port = 0\n  }\n"
        "  inet_listener imaps {\n    port = " + std::to_string(port) + "\n    ssl = yes\n  }\n"
        "}\n";
    WriteFileAtomic(dir_.File("dovecot.conf"), config, 0644);
    return std::vector<std::string>{"dovecot", "-F", "-c", dir_.File("dovecot.conf")};
  });
}

std::string DovecotPeer::FolderPath(const std::string& user, const std::string& folder) const {
  std::string box = dir_.File("mail") + "/" + (user.empty() ? user_ : user);
  if (folder == "INBOX") return box;
  std::string name = folder;
  for (char& c : name)
    if (c == '/') c = '.';
  return box + "/." + name;
}

bool DovecotPeer::AddMessage(const std::string& folder, const std::string& text, bool seen, time_t date,
                             std::string* id, const std::string& user) {
  if (uid_ < 0) return false;
  std::string box = FolderPath(user, folder);
  if (!MakeMailbox(box)) return false;
  // Names of one width sort in the order added, and so do the UIDs given.
  char base[32];
  snprintf(base, sizeof base, "%09d.test", ++messages_);
  std::string name = box + "/cur/" + base + (seen ? ":2,S" : ":2,");
  if (!WriteFileAtomic(name, text, 0600)) return false;
  if (date != 0) {
    struct timeval times[2] = {{date, 0}, {date, 0}};
    if (utimes(name.c_str(), times) != 0) return false;
  }
  if (id) *id = base;
  return chown(name.c_str(), uid_, gid_) == 0;
}

int DovecotPeer::ImportMaildir(const std::string& folder, const std::string& source, const std::string& user) {
  std::string box = FolderPath(user, folder);
  if (uid_ < 0 || !MakeMailbox(box)) return -1;
  struct dirent** names = nullptr;
  int n = scandir((source + "/cur").c_str(), &names, nullptr, alphasort);
  if (n < 0) return -1;
  int loaded = 0;
  for (int i = 0; i < n; ++i) {
    const char* name = names[i]->d_name;
    const char* flags = strstr(name, ":2,");
    if (name[0] != '.' && loaded >= 0) {
      char base[32];
      snprintf(base, sizeof base, "%09d.test", ++messages_);
      std::string from = source + "/cur/" + name;
      std::string to = box + "/cur/" + base + (flags ? flags : ":2,S");
      struct stat st;
      bool ok = link(from.c_str(), to.c_str()) == 0 ||
                (stat(from.c_str(), &st) == 0 && WriteFileAtomic(to, ReadFile(from), 0600) &&
                 utimes(to.c_str(), std::vector<struct timeval>{{st.st_mtime, 0}, {st.st_mtime, 0}}.data()) == 0);
      loaded = ok && chown(to.c_str(), uid_, gid_) == 0 ? loaded + 1 : -1;
    }
    free(names[i]);
  }
  free(names);
  return loaded;
}

std::string DovecotPeer::FindMessage(const std::string& box, const std::string& id) const {
  for (const char* sub : {"/cur", "/new"}) {
    DIR* dir = opendir((box + sub).c_str());
    if (dir == nullptr) continue;
    std::string found;
    for (struct dirent* entry; found.empty() && (entry = readdir(dir)) != nullptr;)
      if (strncmp(entry->d_name, id.c_str(), id.size()) == 0 &&
          (entry->d_name[id.size()] == ':' || entry->d_name[id.size()] == '\0'))
        found = box + sub + "/" + entry->d_name;
    closedir(dir);
    if (!found.empty()) return found;
  }
  return "";
}

bool DovecotPeer::MoveMessage(const std::string& id, const std::string& from, const std::string& to,
                              const std::string& user) {
  std::string file = FindMessage(FolderPath(user, from), id);
  std::string box = FolderPath(user, to);
  if (file.empty() || !MakeMailbox(box)) return false;
  return rename(file.c_str(), (box + "/cur/" + file.substr(file.rfind('/') + 1)).c_str()) == 0;
}

bool DovecotPeer::RemoveMessage(const std::string& folder, const std::string& id, const std::string& user) {
  std::string file = FindMessage(FolderPath(user, folder), id);
  return !file.empty() && unlink(file.c_str()) == 0;
}

std::string DovecotPeer::Log() const { return ReadFile(dir_.File("dovecot.log")); }

bool ScriptedPeer::SetScript(const std::string& json) {
  return WriteFileAtomic(dir_.File("script.json"), json, 0600);
}

std::string ScriptedImapPeer::Commands() const { return ReadFile(dir_.File("commands.log")); }

std::string ScriptedImapPeer::Logins() const { return ReadFile(dir_.File("logins.jsonl")); }

std::string ScriptedProxyPeer::Received(int n) const {
  return ReadFile(dir_.File("received/" + std::to_string(n) + ".bin"));
}

}  // namespace pvtest
