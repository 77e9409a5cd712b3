// The mail components' numbered message table: socket errors and the clients' own texts.
#pragma once

#include <string>

namespace norva {

// Message codes of the mail components' own texts.
enum TagMessage {
  msgTimedOut = 57000,            // "Operation timed out"
  msgCanceled = 57001,            // "Operation has been canceled"
  msgServerRequired = 57002,      // "Server property is required"
  msgInvalidVersion = 57003,      // "Invalid Winsock version"
  msgResolveError = 57004,        // "Error resolving remote host"
  msgServiceRequired = 57005,     // "Service name is required"
  msgLineTooLong = 57006,         // "Reply line longer than 1024 bytes"
  msgLineBreakInCommand = 57007,  // "Command contains a line break"
  msgNotConnected = 57008,        // "You have to connect to the server first"
  msgConnectionClosed = 57009,    // "Connection closed by the server"
  msgFunctionNotFound = 57010,    // "Function %s not found"
  msgNotLoaded = 57011,           // "Winsock is not loaded"
  msgNotFound = 57012,            // "Winsock not found"
  msgDataTooLong = 57013,         // "The server sent more than the message's size"
  msgMessageRequired = 57102,     // "MailMessage property must be assigned"
  msgUserNameRequired = 57103,    // "UserName property is required"
  msgPasswordRequired = 57104,    // "Password property is required"
};

// The text for a code: the socket-error table (10004-11004) and the texts above; "" when the
// table has none.
std::string MailMessageText(int code);

// The message of a socket error: the table's text, or "Error #" and the code.
std::string SocketErrorText(int code);

// Maps an errno value onto the socket-error codes (ECONNREFUSED -> 10061, ...).
int SocketCodeFromErrno(int err);

// Maps a getaddrinfo failure onto the resolver codes (EAI_NONAME -> 11001, ...).
int SocketCodeFromResolver(int gaiError, int err);

}  // namespace norva
