// The record store's message table and the mapping of file failures onto it.
#include "store/QDBErrors.h"

#include <cerrno>

namespace norva {

std::string QDBMessageText(int number, const std::string& arg) {
  static const char* const kTexts[] = {
      "",
      "Could not find the file %s",
      "The file %s is not a valid QDB file",
      "The drive you are trying to access is not ready",
      "%s is marked as read-only",
      "No more file handles are available",
      "The file %s seems to be in use by another program",
      "The drive is full",
      "Unidentified problem -  %s",
      "Not enough memory to extend the index to %s",
      "Unable to copy %s",
      "Unable to extend the file %s",
      "Duplicate keys are not allowed",
      "Cannot insert into a sorted list",
      "The list index is out of bounds",
      "Could not create a necessary temporary file",
      "Illegal operation - no file assigned",
      "Insufficient memory to compress or expand",
      "The key '%s' does not exist",
      "The password you have provided is invalid",
      "File %s is empty",
  };
  if (number < 1 || number > 20) return "";
  std::string text = kTexts[number];
  if (auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, arg);
  return text;
}

int QDBCodeFromErrno(int err) {
  switch (err) {
    case 0:
      return -1;
    case ENOENT:
      return -2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case ENODEV:
    case ENXIO:
      return -3;
    case EMFILE:
    case ENFILE:
      return -4;
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
    case EROFS:
    case EISDIR:
      return -5;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return -101;
    default:
      return err;
  }
}

void RaiseQDBFileError(int code, int opMessage, const std::string& fileName) {
  switch (code) {
    case -1:
      throw EQDBFileError(opMessage, fileName);
    case -2:
      throw EQDBFileError(qdbFileNotFound, fileName);
    case -3:
      throw EQDBFileError(qdbDriveNotReady, fileName);
    case -4:
      throw EQDBFileError(qdbNoHandles, fileName);
    case -5:
      throw EQDBFileError(qdbInUse, fileName);
    case -101:
      throw EQDBFileError(qdbDriveFull, fileName);
    default:
      throw EQDBFileError(qdbUnidentified, std::to_string(code));
  }
}

}  // namespace norva
