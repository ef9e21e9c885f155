#include "common/io_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace velno {
namespace {

TEST(IoErrorTest, KindNamesByErrorNumber) {
  const std::pair<int, const char*> rows[] = {
      {EPERM, "PermissionDenied"},   {ENOENT, "NotFound"},         {EINTR, "Interrupted"},
      {E2BIG, "ArgumentListTooLong"}, {EDEADLK, "Deadlock"},       {ENOMEM, "OutOfMemory"},
      {EACCES, "PermissionDenied"},  {EBUSY, "ResourceBusy"},      {EEXIST, "AlreadyExists"},
      {EXDEV, "CrossesDevices"},     {ENOTDIR, "NotADirectory"},   {EISDIR, "IsADirectory"},
      {EINVAL, "InvalidInput"},      {ETXTBSY, "ExecutableFileBusy"}, {EFBIG, "FileTooLarge"},
      {ENOSPC, "StorageFull"},       {ESPIPE, "NotSeekable"},      {EROFS, "ReadOnlyFilesystem"},
      {EMLINK, "TooManyLinks"},      {EPIPE, "BrokenPipe"},        {EAGAIN, "WouldBlock"},
      {EINPROGRESS, "InProgress"},   {EADDRINUSE, "AddrInUse"},    {EADDRNOTAVAIL, "AddrNotAvailable"},
      {ENETDOWN, "NetworkDown"},     {ENETUNREACH, "NetworkUnreachable"}, {ECONNABORTED, "ConnectionAborted"},
      {ECONNRESET, "ConnectionReset"}, {ENOTCONN, "NotConnected"}, {ETIMEDOUT, "TimedOut"},
      {ECONNREFUSED, "ConnectionRefused"}, {ELOOP, "FilesystemLoop"}, {ENAMETOOLONG, "InvalidFilename"},
      {EHOSTUNREACH, "HostUnreachable"}, {ENOTEMPTY, "DirectoryNotEmpty"}, {EDQUOT, "QuotaExceeded"},
      {ESTALE, "StaleNetworkFileHandle"}, {ENOSYS, "Unsupported"},
      {EIO, "Uncategorized"},        {ENXIO, "Uncategorized"},     {0, "Uncategorized"},
      {-1, "Uncategorized"},         {99999, "Uncategorized"},
  };
  for (const auto& [errnum, name] : rows) EXPECT_EQ(io_error_kind_name(errnum), name) << errnum;
}

TEST(IoErrorTest, OsShapeCarriesCodeKindAndSystemMessage) {
  EXPECT_EQ(IoError::os(ENOENT).debug_text(), "Os { code: " + std::to_string(ENOENT) +
                                                   ", kind: NotFound, message: \"" + std::strerror(ENOENT) +
                                                   "\" }");
  EXPECT_EQ(IoError::os(EIO).debug_text(),
            "Os { code: " + std::to_string(EIO) + ", kind: Uncategorized, message: \"" + std::strerror(EIO) +
                "\" }");
  // An unknown number still gets a message from the platform.
  const std::string unknown = IoError::os(99999).debug_text();
  EXPECT_EQ(unknown.rfind("Os { code: 99999, kind: Uncategorized, message: \"", 0), 0u) << unknown;
  EXPECT_GT(unknown.size(), std::string("Os { code: 99999, kind: Uncategorized, message: \"\" }").size());
}

TEST(IoErrorTest, CustomAndKindOnlyShapes) {
  EXPECT_EQ(IoError::invalid_utf8().debug_text(),
            "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
  EXPECT_EQ(IoError::write_zero().debug_text(), "Error { kind: WriteZero, message: \"failed to write whole buffer\" }");
  IoError quoted{IoError::Shape::Custom, 0, "Other", "say \"hi\" \\ bye"};
  EXPECT_EQ(quoted.debug_text(), R"(Error { kind: Other, message: "say \"hi\" \\ bye" })");
  IoError kind_only{IoError::Shape::KindOnly, 0, "UnexpectedEof", ""};
  EXPECT_EQ(kind_only.debug_text(), "Kind(UnexpectedEof)");
}

}  // namespace
}  // namespace velno
