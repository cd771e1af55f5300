#include "base/error.h"

#include <cerrno>

namespace taviksms::core {

namespace {
const std::u16string kRuntimeSource = u"TavikSmsDll";
const std::u16string kProviderSource = u"Microsoft OLE DB Provider for SQL Server";
}  // namespace

void raise_overflow() {
  throw Error(err::kOverflow, kRuntimeSource, u"Overflow");
}
void raise_type_mismatch() {
  throw Error(err::kTypeMismatch, kRuntimeSource, u"Type mismatch");
}
void raise_invalid_use_of_null() {
  throw Error(err::kInvalidUseOfNull, kRuntimeSource, u"Invalid use of Null");
}
void raise_object_not_set() {
  throw Error(err::kObjectNotSet, kRuntimeSource,
              u"Object variable or With block variable not set");
}
void raise_item_not_found(std::u16string source) {
  throw Error(err::kItemNotFound, std::move(source),
              u"Item cannot be found in the collection corresponding to the requested name or "
              u"ordinal.");
}
void raise_object_closed(std::u16string source) {
  throw Error(err::kObjectClosed, std::move(source),
              u"Operation is not allowed when the object is closed.");
}
void raise_connection_closed(std::u16string source) {
  throw Error(err::kConnectionClosed, std::move(source),
              u"The connection cannot be used to perform this operation. It is either closed or "
              u"invalid in this context.");
}
void raise_provider(std::u16string description) {
  // A failure never reads as success: a message that is empty, or that reads "OK" (a method's
  // whole result when it succeeds), is reported as a failure without a message.
  if (description.empty() || description == u"OK") description = u"Unspecified error";
  throw Error(err::kProvider, kProviderSource, std::move(description));
}

void raise_file_error(std::int32_t number) {
  const char16_t* text = u"Device I/O error";
  switch (number) {
    case 52:
      text = u"Bad file name or number";
      break;
    case 53:
      text = u"File not found";
      break;
    case 55:
      text = u"File already open";
      break;
    case 61:
      text = u"Disk full";
      break;
    case 70:
      text = u"Permission denied";
      break;
    case 75:
      text = u"Path/File access error";
      break;
    case 76:
      text = u"Path not found";
      break;
    default:
      number = 57;
      break;
  }
  throw Error(err::runtime(number), kRuntimeSource, text);
}

void raise_save_error(int errno_value) {
  switch (errno_value) {
    case EACCES:
    case EPERM:
    case EROFS:
      throw Error(err::runtime(70), kRuntimeSource, u"Permission denied");
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      throw Error(err::runtime(76), kRuntimeSource, u"Path not found");
    case ENOSPC:
      throw Error(err::runtime(61), kRuntimeSource, u"Disk full");
    case EMFILE:
    case ENFILE:
      throw Error(err::runtime(67), kRuntimeSource, u"Too many files");
    default:
      throw Error(err::runtime(75), kRuntimeSource, u"Path/File access error");
  }
}

}  // namespace taviksms::core
