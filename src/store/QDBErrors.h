// The record store's exceptions and its numbered message table.
#pragma once

#include <string>

#include "store/Exception.h"

namespace norva {

// Message numbers of the record store's table.
enum TQDBMessage {
  qdbFileNotFound = 1,      // "Could not find the file %s"
  qdbNotValid = 2,          // "The file %s is not a valid QDB file"
  qdbDriveNotReady = 3,     // "The drive you are trying to access is not ready"
  qdbReadOnly = 4,          // "%s is marked as read-only"
  qdbNoHandles = 5,         // "No more file handles are available"
  qdbInUse = 6,             // "The file %s seems to be in use by another program"
  qdbDriveFull = 7,         // "The drive is full"
  qdbUnidentified = 8,      // "Unidentified problem -  %s"
  qdbIndexMemory = 9,       // "Not enough memory to extend the index to %s"
  qdbCannotCopy = 10,       // "Unable to copy %s"
  qdbCannotExtend = 11,     // "Unable to extend the file %s"
  qdbDuplicateKey = 12,     // "Duplicate keys are not allowed"
  qdbSortedInsert = 13,     // "Cannot insert into a sorted list"
  qdbOutOfBounds = 14,      // "The list index is out of bounds"
  qdbNoTempFile = 15,       // "Could not create a necessary temporary file"
  qdbNoFile = 16,           // "Illegal operation - no file assigned"
  qdbCompressMemory = 17,   // "Insufficient memory to compress or expand"
  qdbBadKey = 18,           // "The key '%s' does not exist"
  qdbInvalidPassword = 19,  // "The password you have provided is invalid"
  qdbEmpty = 20,            // "File %s is empty"
};

// The message's text with %s replaced by arg.
std::string QDBMessageText(int number, const std::string& arg = "");

class EQDBError : public Exception {
 public:
  explicit EQDBError(int number, const std::string& arg = "")
      : Exception(QDBMessageText(number, arg)), MessageNumber(number) {}
  // The table's text followed by ": " and what exactly is wrong.
  EQDBError(int number, const std::string& arg, const std::string& detail)
      : Exception(QDBMessageText(number, arg) + ": " + detail), MessageNumber(number) {}
  int MessageNumber;
};

#define NORVA_QDB_ERROR(Name, Base) \
  class Name : public Base {        \
   public:                          \
    using Base::Base;               \
  };
NORVA_QDB_ERROR(EQDBListError, EQDBError)
NORVA_QDB_ERROR(EQDBFileError, EQDBError)
NORVA_QDB_ERROR(EQDBIndexError, EQDBError)
NORVA_QDB_ERROR(EQDBInvalidPW, EQDBError)
NORVA_QDB_ERROR(EQDBNoCompress, EQDBError)
NORVA_QDB_ERROR(EQDBBadKey, EQDBError)
NORVA_QDB_ERROR(EQDBOutOfBounds, EQDBIndexError)
NORVA_QDB_ERROR(EQDBNoData, EQDBIndexError)
NORVA_QDB_ERROR(EQDBReadOnly, EQDBIndexError)
NORVA_QDB_ERROR(EQDBNoFile, EQDBIndexError)
#undef NORVA_QDB_ERROR

// File failure codes: -2 not found, -3 path not found, -4 no handles, -5 access denied,
// -101 disk full, -1 "the operation's own message"; any other code is reported as a number.
int QDBCodeFromErrno(int err);

// Raises EQDBFileError for a failure code; opMessage is used for code -1.
[[noreturn]] void RaiseQDBFileError(int code, int opMessage, const std::string& fileName);

}  // namespace norva
