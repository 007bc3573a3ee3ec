// Base class of objects that exist once and must never be copied or assigned.
#pragma once

namespace Qarn {
namespace Base {

class CNoncopyable {
protected:
    CNoncopyable() = default;
    ~CNoncopyable() = default;

public:
    CNoncopyable(const CNoncopyable&) = delete;
    CNoncopyable& operator=(const CNoncopyable&) = delete;
};

}  // namespace Base
}  // namespace Qarn
