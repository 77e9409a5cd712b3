// The root of Norva's components: the sender every event passes to its handler.
#pragma once

namespace norva {

class TObject {
 public:
  virtual ~TObject() = default;
};

}  // namespace norva
