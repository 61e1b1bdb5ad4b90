#include "support/imap_peers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

bool DovecotPeer::Start(const std::string& user, const std::string& password) {
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
  if (!MakeMailbox(mail + "/" + user_)) return Fail("cannot make the mailbox");

  std::string cert = dir_.File("cert.pem");
  std::string key = dir_.File("key.pem");
  std::string command = "openssl req -x509 -batch -nodes -days 2 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                        "-subj /CN=loopback-test -keyout '" +
                        key + "' -out '" + cert + "' >/dev/null 2>&1";
  if (system(command.c_str()) != 0) return Fail("openssl could not make a certificate");
  // Base64 keeps any password (':' included) out of the file's syntax.
  std::string passwd = user_ + ":{PLAIN.b64}" + Base64(password) + ":" + std::to_string(uid_) + ":" +
                       std::to_string(gid_) + "::" + mail + "/" + user_ + "\n";
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
        "namespace inbox {\n  inbox = yes\n  separator = /\n}\n"
        "service imap-login {\n"
        "  inet_listener imap {\n    port = 0\n  }\n"
        "  inet_listener imaps {\n    port = " + std::to_string(port) + "\n    ssl = yes\n  }\n"
        "}\n";
    WriteFileAtomic(dir_.File("dovecot.conf"), config, 0644);
    return std::vector<std::string>{"dovecot", "-F", "-c", dir_.File("dovecot.conf")};
  });
}

bool DovecotPeer::AddMessage(const std::string& folder, const std::string& text) {
  if (uid_ < 0) return false;
  std::string box = dir_.File("mail") + "/" + user_;
  if (folder != "INBOX") {
    box += "/." + folder;
    if (!MakeMailbox(box)) return false;
  }
  std::string name = box + "/cur/" + std::to_string(1000 + ++messages_) + ".test:2,S";
  if (!WriteFileAtomic(name, text, 0600)) return false;
  return chown(name.c_str(), uid_, gid_) == 0;
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
