#include "common/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace velno {

namespace {

// strerror_r is the XSI variant (int, message in the buffer) on macOS and with
// strict POSIX, the GNU variant (char*, maybe a static text) with glibc's defaults.
// Overloading on the return type picks whichever the platform declares.
[[maybe_unused]] std::string strerror_result(int rc, const char* buf, int errnum) {
  if (rc != 0 || buf[0] == '\0') return "Unknown error " + std::to_string(errnum);
  return buf;
}

[[maybe_unused]] std::string strerror_result(const char* text, const char*, int errnum) {
  if (text == nullptr || text[0] == '\0') return "Unknown error " + std::to_string(errnum);
  return text;
}

std::string system_message(int errnum) {
  char buf[256];
  buf[0] = '\0';
  return strerror_result(strerror_r(errnum, buf, sizeof buf), buf, errnum);
}

// The message between double quotes, with '"' and '\' escaped.
void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

IoError custom(const char* kind, const char* message) {
  IoError e;
  e.shape = IoError::Shape::Custom;
  e.kind = kind;
  e.message = message;
  return e;
}

}  // namespace

std::string_view io_error_kind_name(int errnum) {
  switch (errnum) {
    case EPERM: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EDEADLK: return "Deadlock";
    case ENOMEM: return "OutOfMemory";
    case EACCES: return "PermissionDenied";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EAGAIN: return "WouldBlock";
    case EINPROGRESS: return "InProgress";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case ELOOP: return "FilesystemLoop";
    case ENAMETOOLONG: return "InvalidFilename";
    case EHOSTUNREACH: return "HostUnreachable";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EDQUOT: return "QuotaExceeded";
    case ESTALE: return "StaleNetworkFileHandle";
    case ENOSYS: return "Unsupported";
    default: return "Uncategorized";
  }
}

IoError IoError::os(int errnum) {
  IoError e;
  e.shape = Shape::Os;
  e.code = errnum;
  return e;
}

IoError IoError::invalid_utf8() { return custom("InvalidData", "stream did not contain valid UTF-8"); }
IoError IoError::write_zero() { return custom("WriteZero", "failed to write whole buffer"); }
IoError IoError::not_regular_file() { return custom("InvalidInput", "not a regular file"); }

std::string IoError::debug_text() const {
  std::string out;
  switch (shape) {
    case Shape::Os:
      out = "Os { code: " + std::to_string(code) + ", kind: ";
      out.append(io_error_kind_name(code));
      out.append(", message: ");
      append_quoted(out, system_message(code));
      out.append(" }");
      break;
    case Shape::Custom:
      out = "Error { kind: " + kind + ", message: ";
      append_quoted(out, message);
      out.append(" }");
      break;
    case Shape::KindOnly:
      out = "Kind(" + kind + ")";
      break;
  }
  return out;
}

}  // namespace velno
