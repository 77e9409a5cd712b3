// What a mail client call raises, as text a test can compare in one assertion.
#pragma once

#include <string>

#include "mail/agsocket.h"
#include "mail/msmsgcls.h"
#include "mail/mssmtp.h"

namespace norva::testing {

// "<code>: <message>" for a socket error, "<kind>: <message>" for the other mail errors, ""
// when f raises nothing. Anything else propagates.
template <class F>
std::string Failure(F&& f) {
  try {
    f();
  } catch (const ESocketError& e) {
    return std::to_string(e.Code) + ": " + e.what();
  } catch (const EServerError& e) {
    return std::string("server: ") + e.what();
  } catch (const ETimedOutError& e) {
    return std::string("timed out: ") + e.what();
  } catch (const ECanceledError& e) {
    return std::string("canceled: ") + e.what();
  } catch (const EMessageError& e) {
    return std::string("message: ") + e.what();
  } catch (const EDeliveryUnknown& e) {
    return std::string("unknown: ") + e.what();
  }
  return "";
}

}  // namespace norva::testing
