// What Quillet needs from the operating system, and nothing more. Each OS has
// its implementation in a folder of its own (posix/, win32/), a file for each
// part below; no other file includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Wide enough for a Win64 SOCKET; "no socket" is all bits set, as there.
using SocketHandle = std::uint64_t;
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};

// Networking: start once before any socket is made, stop after the last close.
bool startNetworking();
void stopNetworking();

// A blocking IPv4 stream socket with the listening options set, or kNoSocket.
SocketHandle openListeningSocket();
// Binds to all IPv4 interfaces on the port and starts listening.
bool bindAndListen(SocketHandle socket, std::int32_t port, int backlog);

enum class WaitResult { kReadable, kTimedOutOrFailed, kInterruptedBySignal };
WaitResult waitUntilReadable(SocketHandle socket, int timeoutMicroseconds);
SocketHandle acceptConnection(SocketHandle listenSocket);
// From then on a send on the connection fails once its peer has taken no byte
// for that long.
void limitSendStall(SocketHandle socket, int seconds);
// Returns what recv returns: a count, 0 for a closed peer, or below 0.
int receiveBytes(SocketHandle socket, char* buffer, int length);
// Bytes that a gathered send takes in order after the runs before them.
struct ByteRun {
  const char* bytes = nullptr;
  std::size_t length = 0;
};
// Runs one gathered send may be given.
inline constexpr int kMostRunsPerSend = 8;
// Takes what the connection accepts of the runs, in order, in one system call,
// so that header and page need not be copied together first. At most
// kMostRunsPerSend runs, holding at most INT_MAX bytes in all. Returns the
// count taken, or below 0. While the connection accepts none, it waits up to
// the connection's send-stall limit in all; a signal does not end that wait.
int sendRuns(SocketHandle socket, const ByteRun* runs, int count);
// False when the count cannot be asked for.
bool countWaitingBytes(SocketHandle socket, unsigned long& count);
// Shuts both directions down, then closes; results are of no use to callers.
void shutdownAndClose(SocketHandle socket);

// Runs the handler on SIGTERM. On POSIX systems a blocking call that the
// signal interrupts returns early, so that a stop is seen while a connection
// is stuck; Windows never cuts a call short, and there only the send-stall
// limit bounds how long a stop waits.
using TerminationHandler = void (*)(int signalNumber);
void installTerminationHandler(TerminationHandler handler);

// Files. Page files are opened only through these, so that each OS can refuse
// what is not a plain file (a directory, a device name).
void makeDirectory(const char* path);
std::FILE* openFileForReading(const char* path);
// A new regular file; fails when anything at all stands at the path, so that
// it never writes through a link or waits on a FIFO.
std::FILE* createNewFile(const char* path);
// The size by seeking to the end and back to the start; -1 when not told.
std::int64_t fileSize(std::FILE* file);
// Flushes the stream and asks the OS to put its bytes on disk.
bool flushFileToDisk(std::FILE* file);
void deleteFile(const char* path);
// Fails, changing nothing, when `to` exists or `from` is missing. Where the
// file system offers neither a rename that never replaces nor hard links
// (exFAT, FAT and cloud folders through FUSE on Linux), `to` is looked at just
// before a plain rename: a file that another program creates at `to` in that
// moment is replaced. Only another program writing into the same folder can
// race it; this process makes one move at a time.
bool renameWithoutReplacing(const char* from, const char* to);
// Gives the file at `existing` the second name `name` (a hard link): both
// names then hold the same bytes. Fails, changing nothing, when `name`
// exists, `existing` is missing, or the file system keeps no such links.
bool addSecondName(const char* existing, const char* name);
// Moves `from` to `to` in one step, replacing the file at `to`: at every
// moment `to` names either its own file, whole, or `from`'s. Fails, changing
// nothing, when it cannot.
bool renameReplacing(const char* from, const char* to);
// Makes a finished rename in the directory survive a power loss. False when
// the sync failed; true, too, where the file system cannot sync a directory
// at all.
bool syncDirectory(const char* path);

// Confines the process to the pages folder, once start-up is done and before
// the first connection. From then on it may read, write, truncate, create,
// link, rename and delete regular files beneath `directory` and list it, and
// use the sockets it already has; it cannot open any other file, run a
// program, make a directory, link, FIFO or device anywhere, bind a new port,
// open an outgoing TCP connection, or signal a process outside it. Each OS
// enforces what it can of this, for good; the rest runs as before, and where
// Linux withholds a part, a note on standard error names it and the reason.
// True when the rule on files holds.
bool confineToPagesFolder(const char* directory);

// Lets the allocator keep large freed blocks for the next request instead of
// handing them back to the OS.
void keepFreedMemoryForReuse();

// Tells the user that start-up failed; the caller then exits.
void showStartupError(const char* text);

// This machine's own name as the OS reports it (short or fully qualified);
// empty when the OS does not say.
std::string machineHostName();

// Reads the domains that the resolver completes a short name with, as this
// machine is known on its network by its name under each of them ("desk" is
// desk.fritz.box). Called once at start-up, while the process may still read
// files outside its pages; nothing is read afterwards. Reads nothing where
// machineHostName() already carries the network's domain (Windows).
void readResolverSearchDomains();
// What readResolverSearchDomains found, without trailing dots; empty before it
// ran or when nothing was found.
const std::vector<std::string>& resolverSearchDomains();

}  // namespace platform
