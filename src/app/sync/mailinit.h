// Start-up of the mail library, once per process.
#ifndef PV_APP_SYNC_MAILINIT_H
#define PV_APP_SYNC_MAILINIT_H

// Links the mail drivers (imap, nntp, pop3, mbx, mtx, tenex, unix, dummy),
// runs the library's one-time TLS set-up and puts our TLS driver in its
// place, links the authenticators (EXTERNAL, GSSAPI, CRAM-MD5, PLAIN, LOGIN)
// and checks the library's version against the headers this program was
// built with (a mismatch ends the process through mm_fatal). Later calls do
// nothing. Call on the start-up thread before any mail thread runs.
void InitMailLibrary();

#endif  // PV_APP_SYNC_MAILINIT_H
