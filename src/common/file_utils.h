#pragma once
// Small file utilities of the server code: region locks with retries that
// work across processes, existence and size, seeking, opening with a reported
// failure, reading lines with comment skipping, and granting the configured
// groups access to a new file. Descriptors are plain ints; the caller owns
// them. The system calls go through systemCalls() (common/system_calls.h),
// which tests replace; nothing else here keeps state.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>

// Locks [offset, offset + length) of the file for this open file description
// (an OFD lock: other processes and other opens of the file are refused;
// closing another descriptor of the file does not drop it). Write lock on a
// writable descriptor, read lock on a read-only one. A held range is tried
// again every few milliseconds for up to 9 seconds (the bound of 10 tries one
// second apart), so a waiter gets it as soon as its holder lets go. 0 on
// success, -1 on failure; unless quiet, a failure is reported (message 267
// with the path). The file position is left as it was.
int lockFileRegion(int fd, int64_t offset, int64_t length, const char* path, bool quiet);
// Releases such a lock (one try); same result and report.
int unlockFileRegion(int fd, int64_t offset, int64_t length, const char* path, bool quiet);

// True when stat succeeds. The file system is case-sensitive, so the
// exact-case test is what stat does already.
bool fileExists(const char* path, bool exactCase = false);
// Size of an existing regular file; 0 when it is missing or not a file.
int64_t fileSize(const char* path);
// Origin 1 = current position, 2 = end, anything else = start. New position
// or -1.
int64_t fileSeek(int fd, int64_t offset, int origin);

// Opens read-only (through fileOpenForReading), or read-write with create
// and truncate (0666 under the umask). Never returns descriptors 0 to 2. -1
// on failure: reported as
// message 12 (job -1), or with errorText given, the formatted message is
// copied there (at most errorTextSize - 1 characters) instead.
int fileOpen(const char* path, bool forReading, char* errorText = nullptr, size_t errorTextSize = 0);
// fopen (close-on-exec, never on descriptors 0 to 2; a read-only mode opens
// through fileOpenForReading); null on failure, reported as message 12 when
// report is set.
FILE* fileOpenStream(const char* path, const char* mode, bool report);
// Message 12 (job -1) for path opened as how, with the system's text for err:
// what fileOpenStream reports, for callers that open a file under another
// name (a temporary) and must name the file the user configured.
void reportFileOpenFailure(const char* path, const char* how, int err);
// Opens the file as the system call does with these flags (close-on-exec is
// added), except that a link in the last component is refused (the system's
// "Too many levels of symbolic links"): the server's writable folders may be
// links, the files in them may not, or anyone who can write there could turn
// a write into a write of any file. Goes on after an interrupted call; never
// returns descriptors 0 to 2; -1 with errno on failure. The path is the
// configured one ("\" becomes "/"). Only a regular file is opened (see
// fileOpenRegularOnly), so a FIFO planted there cannot stop a run in open.
int fileOpenNoFollow(const char* path, int flags, mode_t mode = 0666);
// Opens a file to be read (read-only, close-on-exec, never descriptors 0 to
// 2). Every data file the server code reads goes through here: the data,
// log, session and taxonomy folders are writable by the web server's user,
// so a root run must not read, on that user's behalf, a file the user could
// not read itself. A link in the last component is followed only when it
// belongs to root or to the user the run runs as (an administrator's own link
// to a dump kept elsewhere keeps working); anyone else's is refused as the
// system refuses a link ("Too many levels of symbolic links"). Folders on the
// way may be links. -1 with errno on failure; see fileOpenRegularOnly for
// what is not a regular file.
int fileOpenForReading(const char* path);
// Keeps an open descriptor only when it is a regular file: a FIFO would stop
// every read (or, opened for writing, every write) for good, a device such as
// /dev/zero would feed a parser without end. Anything else is closed and
// refused with EISDIR for a folder (what the system answers when one is
// opened to be written) and kErrorFileNotRegular ("Not a regular file")
// otherwise. Meant for descriptors opened with O_NONBLOCK, so that the open
// itself never waits: O_NONBLOCK is cleared unless flags (the open's flags)
// asked for it. Returns fd, or -1 with errno. A negative fd is passed
// through, the open's ENXIO (its answer for a socket, a FIFO no one reads or
// a device without its driver) turned into the same kErrorFileNotRegular, so
// that every refusal of such a file gives one reason.
int fileOpenRegularOnly(int fd, int flags);
// Creates and opens (read-write) a new file named prefix followed by six
// random characters, which no one can guess or plant beforehand; its mode is
// what an ordinary new file gets (0666 under the umask). name receives the
// name; -1 with errno on failure. prefix is used as it is.
int fileCreateTemporary(const std::string& prefix, std::string& name);
// Writes all bytes through the replaceable write call, going on after
// interrupted calls and short writes; a write that takes nothing fails with
// EIO rather than being tried for ever. False on failure, with errno set.
bool fileWriteAll(int fd, const void* data, size_t length);
inline bool fileWriteAll(int fd, const std::string& data) { return fileWriteAll(fd, data.data(), data.size()); }
// Reads the whole file at path (used as it is, "\" included) into text,
// through one descriptor, so that what was checked is what is read. A link
// in the last component is followed only with followLink (a folder an
// administrator lays out, such as config/). Opened without waiting, so a
// FIFO planted in place of the file never stops the run: one no one writes
// reads as empty, one held open by a writer fails with EAGAIN. More than
// maxBytes fails with EFBIG, before anything is read when the file's size
// shows it, and a device is held to the same bound. False with errno on
// failure (text then holds no meaning).
bool fileReadWhole(const char* path, bool followLink, size_t maxBytes, std::string& text);
// read() that goes on after an interrupted call; -1 on failure.
long fileRead(int fd, void* buffer, size_t count);
int fileClose(int fd);

// Reads the next line into buffer (at most size - 1 bytes, terminated) and
// returns its length; the descriptor is left at the start of the next line
// (or of the rest of a line longer than the buffer, which then comes back in
// pieces with lineEnd false on all but the last). CR, LF and CR LF end a line.
// With skip, empty lines and complete lines starting with "#" or ";" are
// passed over. endOfFile is set when nothing was left to read; a failed read
// counts as the end with 0 bytes; a buffer of 1 byte or less reads nothing.
int fileReadLine(int fd, char* buffer, size_t size, bool& lineEnd, bool skip, bool& endOfFile);

// Gives the configured user group access to the open file (group owner and
// g+rw, set on the descriptor, so a name swapped for a link meanwhile changes
// nothing) and reports a failure under path, except for the error log
// itself; 0 or -1.
int setFileAccess(int fd, const char* path, bool compareFirst);

// fileOpenNoFollow for a file written in place (not renamed into place) in a
// folder others can write: opened for writing, it must be no more than what
// its name shows. A second name (a hard link someone made to a file they
// could not write themselves) or an owner who could not have created it there
// is refused like a link. The owners taken are root, the user the run runs
// as, and whoever the folder holding the file lets create files: its owner
// and, when it is group-writable, the members of its group. O_TRUNC cuts only
// after the check. A refused descriptor is closed; -1 with errno set on
// failure, for a refusal to the code of the reason (kErrorFileHardLinked,
// kErrorFileOtherOwner, whose texts every report of a system error gives).
int fileOpenInPlace(const char* path, int flags, mode_t mode = 0666);
