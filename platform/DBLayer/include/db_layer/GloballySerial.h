// Identifier generator of the platform. The numbers come from a source that the
// host registers; without one, GloballySerial answers -1.
#pragma once
#include <functional>
#include <string>

#include "db_layer/DBLayerApi.h"

namespace db_layer {

// Gives a new identifier for the key, or -1 when it cannot.
using SerialSource = std::function<long long(const std::string& strKey)>;

DBLAYER_API long long GloballySerial(const std::string& strKey);
// Replaces the source; an empty function removes it.
DBLAYER_API void SetSerialSource(SerialSource fnSource);

}  // namespace db_layer
