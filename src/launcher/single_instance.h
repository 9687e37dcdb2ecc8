// One running instance per bundle identifier and user: a later start hands its command line and
// working directory to the running instance over a Unix-domain socket and ends, without loading
// a runtime.
//
// The socket lives in $XDG_RUNTIME_DIR/quillmark/<identifier>.socket (without XDG_RUNTIME_DIR in
// /tmp/quillmark-<uid>/), beside a lock file <identifier>.lock. The instance holds the lock for
// its whole life, so whoever gets the lock is the instance: two starts at the same moment cannot
// both bind, and a socket left by a crashed instance is replaced by the next start that gets it.
//
// A request is the magic "QMKO", a 32-bit big-endian length and that many bytes: the working
// directory and then each argument, every one ended by a NUL. The instance answers one byte once
// the request is queued.
#pragma once

#include <optional>
#include <string>
#include <vector>


namespace qmk::services {

// What a start of a single-instance application comes to.
enum class InstanceRole {
  forwarded,  // a running instance took this start's request: the start ends with status 0
  serving,    // this start is the instance (its socket is bound; serveInstance() serves it)
  alone,      // single instance could not be used (an always-on line said why): start normally
};

// Hands `arguments` (the command line after the program path) and the working directory to the
// running instance of `identifier`, or makes this start the instance. A start restarted by this
// launcher takes over the socket its previous run handed over.
InstanceRole forwardOrServe(const std::optional<std::string>& identifier,
                            const std::vector<std::string>& arguments);

// Starts the thread that serves the instance's socket, when this start is the instance. Called
// as late as possible before the runtime starts: until then later starts wait in the socket's
// backlog, and the launcher's own work runs single-threaded.
void serveInstance();

// For a restart by re-execution: keeps the instance's lock and socket open across exec and
// returns the environment entry that names them for the restarted launcher. Absent when this
// process serves no instance.
std::optional<std::string> handOverInstance();

// Forgets a hand-over meant for a start that does not serve (the application's children must not
// see it). Cheap: one environment look-up.
void dropInstanceHandover();

// The socket and lock paths for `identifier` under the user's socket folder, creating the folder
// when missing. Absent, with `refusal` saying why, when the folder cannot be used safely.
struct InstancePaths {
  std::string folder;
  std::string socket;
  std::string lock;
};
std::optional<InstancePaths> instancePaths(const std::string& identifier, std::string& refusal);

// Whether an instance of `identifier` runs now for this user (its lock is held).
bool instanceRunning(const std::string& identifier);

}  // namespace qmk::services
