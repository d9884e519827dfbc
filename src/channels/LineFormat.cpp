#include "channels/LineFormat.h"

#include <string>
#include <vector>

#include <Poco/String.h>

#include "channels/BaseChannel.h"
#include "common/CommaText.h"

namespace voxmit {

TLineFormatItems ParseLineFormat(std::string_view field, TLineFormat& into) {
  const std::vector<std::string> items = SplitCommaText(Poco::toUpper(TrimControls(field)));
  TLineFormatItems found;
  found.Count = static_cast<int32_t>(items.size());
  if (!items.empty()) found.DataBits = CommaFieldToInt(items[0], into.ByteSize);
  if (items.size() > 1 && !items[1].empty()) {
    found.Parity = true;
    switch (items[1][0]) {
      case 'E': into.Parity = 2; break;
      case 'N': into.Parity = 0; break;
      case 'O': into.Parity = 1; break;
      default: found.Parity = false; break;
    }
  }
  if (items.size() > 2) {
    int32_t stopBits = 0;
    found.StopBitsNumber = CommaFieldToInt(items[2], stopBits);
    if (found.StopBitsNumber && (stopBits == 1 || stopBits == 2)) {
      into.StopBits = stopBits == 1 ? 0 : 2;
      found.StopBits = true;
    }
  }
  return found;
}

} // namespace voxmit
