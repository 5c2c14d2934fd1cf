// Who is at the console on Linux: logind's active session on seat0 when logind knows any seat,
// otherwise utmp's user-process entries on a console or tty line, otherwise (a container with
// neither) this process's own user. A source belongs to one thread at a time.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/console_user.h"

namespace trellis::lnx {

// One logind session as the console-user source needs it.
struct LoginSession {
  std::string id;
  uid_t uid = 0;
  std::string sessionClass;  // "user", "greeter", "lock-screen" or "background"
  std::string state;         // "online", "active" or "closing"
};

// The questions the source asks logind. sd-login always answers for the running system (it
// cannot be pointed at another root), so tests give a fake.
class LoginSessions {
 public:
  virtual ~LoginSessions() = default;
  // How many seats logind knows: 0 without logind, a negative errno when the query fails.
  virtual int seatCount() = 0;
  // The active session on `seat`, or nothing (no active session, unknown seat, or a failure,
  // e.g. the session ended while it was being read).
  virtual std::optional<LoginSession> activeSession(const std::string& seat) = 0;
  // Every session on `seat` that could be read completely, in logind's order; empty on failure.
  virtual std::vector<LoginSession> sessionsOnSeat(const std::string& seat) = 0;
};

// The sd-login implementation.
std::unique_ptr<LoginSessions> makeSdLoginSessions();

// `root` prefixes the files read directly (utmp, /run/systemd/seats); the account database is
// not read through it. "/" on a real machine.
//
// The answer, in order:
// - logind knows a seat: the active session on "seat0". A greeter session (a display manager's
//   login screen) answers "loginWindow". A lock-screen session locks a logged-in user's desktop,
//   and that user is still the one at the console: it answers the user of the user-class session
//   on seat0 that the locker runs for (one with the locker's own uid first, else the first one
//   logind lists; closing sessions do not count), or "loginWindow" when there is none. Any other
//   class answers the session user's name (the decimal uid when the account database has no
//   name). No active session: nothing.
// - Else a utmp file (run/utmp, or var/run/utmp, under `root`): the first USER_PROCESS entry on
//   a console line (an X display ":N", "console", "ttyN", "ttyv..."; pseudo-terminals are not
//   the console). A utmp file without one, or one that cannot be read: nothing.
// - Else this process's own user name (or decimal uid).
//
// `waitForChange` watches logind through an sd-login monitor when `root` has run/systemd/seats,
// and the utmp file through inotify when there is one; without either it sleeps for the limit.
std::unique_ptr<ConsoleUserSource> makeConsoleUserSource(const std::string& root,
                                                         std::unique_ptr<LoginSessions> logind);
std::unique_ptr<ConsoleUserSource> makeConsoleUserSource(const std::string& root = "/");

}  // namespace trellis::lnx
