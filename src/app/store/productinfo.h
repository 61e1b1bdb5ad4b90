// The product's fixed texts that several layers share.
#ifndef PV_APP_STORE_PRODUCTINFO_H
#define PV_APP_STORE_PRODUCTINFO_H

// The program version: the ini files' App_Version, the log's tag, the web
// answers' Server suffix and the version answer.
constexpr const char kAppVersion[] = "1.89 Beta";
// The build date the version answer gives.
constexpr const char kBuildDate[] = "19 May 2010";
// The log file in the data directory.
constexpr const char kLogFileName[] = "postvane.log";
// The web-mail provider's mail domain: an address without "@" gets "@" and
// this appended.
constexpr const char kProviderMailDomain[] = "gmail.com";

#endif  // PV_APP_STORE_PRODUCTINFO_H
