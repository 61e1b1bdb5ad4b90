// AnalyticMgr: the per-address counters of table [analytics_email]: how many
// stored mails an address sent to the account and received from it, and the
// first and last of them (by received date; 0 = none).
//
// No state: an instance may be made wherever it is needed. Every operation
// works on the caller's connection inside the caller's transaction and opens
// none of its own; on failure (logged through gLog) the caller rolls back.
// Direction 1 means received; any other value counts as sent.
#ifndef PV_APP_STORE_ANALYTICMGR_H
#define PV_APP_STORE_ANALYTICMGR_H

#include <cstdint>

class koSQLite;

class AnalyticMgr {
 public:
  AnalyticMgr() {}
  ~AnalyticMgr() {}

  // A counter row holding only the address id (an address of a service
  // contact that no stored mail names yet).
  int InsertAnalyticEmailDetails(koSQLite* db, int addressId);
  // The counter row of an address seen for the first time, in mail `mailId`:
  // first and last of that direction are that mail; counts stay 0 until
  // UpdateAnalyticEmailSendRecvCount.
  int InsertWithFirstMail(koSQLite* db, int addressId, int mailId, int direction);
  // One more mail of `direction` for the address, moving first/last when the
  // mail is earlier/later than them (equal dates keep the stored mails).
  // isNew: the row was just made by InsertWithFirstMail.
  int UpdateAnalyticEmailSendRecvCount(koSQLite* db, int mailId, int addressId,
                                       int64_t receivedDate, int direction, int isNew);
  // Takes mail `mailId` out of the counters of every address linked to it.
  // Call while the mail and its links still exist.
  int RebuildAnalyticsEmailOnDeleteMail(koSQLite* db, int mailId, int direction);
  // Recomputes the counters of the account's addresses from its mails
  // received at or after `cutoff`. Call before deleting the older mails.
  int RebuildAnalyticsEmail(koSQLite* db, int accountId, int64_t cutoff);

  // Current first/last mail of the address in `direction` with their dates
  // (OUT). All four are 0 when either stored mail no longer exists or the
  // query fails.
  int GetFirstLastMail(koSQLite* db, int addressId, int direction, int* firstMailId,
                       int* lastMailId, int64_t* firstDate, int64_t* lastDate);

 private:
  int UpdateAnalyticsEmailSendORRecvCount(koSQLite* db, int mailId, int direction);
  int UpdateAnalyticsEmailOnDeleteMail(koSQLite* db, int mailId, int direction, int addressId,
                                       int firstMailId, int lastMailId, int count);
  int CreateAnalyticsEmailRebuildHeleperTable(koSQLite* db, int accountId, int64_t cutoff);
};

#endif  // PV_APP_STORE_ANALYTICMGR_H
