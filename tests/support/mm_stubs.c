/* The callbacks that the mail library requires of every program linking it,
 * for tests that use only its encoders: they do nothing. */
#define _DEFAULT_SOURCE 1 /* c-client's osdep.h asks for the deprecated _BSD_SOURCE */
#include <c-client/c-client.h>

void mm_searched(MAILSTREAM *stream, unsigned long number) { (void)stream; (void)number; }
void mm_exists(MAILSTREAM *stream, unsigned long number) { (void)stream; (void)number; }
void mm_expunged(MAILSTREAM *stream, unsigned long number) { (void)stream; (void)number; }
void mm_flags(MAILSTREAM *stream, unsigned long number) { (void)stream; (void)number; }
void mm_notify(MAILSTREAM *stream, char *string, long errflg) {
  (void)stream; (void)string; (void)errflg;
}
void mm_list(MAILSTREAM *stream, int delimiter, char *name, long attributes) {
  (void)stream; (void)delimiter; (void)name; (void)attributes;
}
void mm_lsub(MAILSTREAM *stream, int delimiter, char *name, long attributes) {
  (void)stream; (void)delimiter; (void)name; (void)attributes;
}
void mm_status(MAILSTREAM *stream, char *mailbox, MAILSTATUS *status) {
  (void)stream; (void)mailbox; (void)status;
}
void mm_log(char *string, long errflg) { (void)string; (void)errflg; }
void mm_dlog(char *string) { (void)string; }
void mm_login(NETMBX *mb, char *user, char *pwd, long trial) {
  (void)mb; (void)trial;
  user[0] = '\0';
  pwd[0] = '\0';
}
void mm_critical(MAILSTREAM *stream) { (void)stream; }
void mm_nocritical(MAILSTREAM *stream) { (void)stream; }
long mm_diskerror(MAILSTREAM *stream, long errcode, long serious) {
  (void)stream; (void)errcode; (void)serious;
  return 1; /* abort the operation */
}
void mm_fatal(char *string) { (void)string; }
