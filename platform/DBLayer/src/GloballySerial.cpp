// The identifier registry: a host registers where the numbers come from; the
// library itself invents none.
#include "db_layer/GloballySerial.h"

#include <memory>
#include <mutex>

namespace db_layer {

namespace {

std::mutex& SourceMutex()
{
    static std::mutex* pMutex = new std::mutex();
    return *pMutex;
}

// Shared so that a call in progress keeps its source alive while another
// thread replaces it.
std::shared_ptr<const SerialSource>& Source()
{
    static std::shared_ptr<const SerialSource>* pSource = new std::shared_ptr<const SerialSource>();
    return *pSource;
}

}  // namespace

long long GloballySerial(const std::string& strKey)
{
    std::shared_ptr<const SerialSource> pSource;
    {
        std::lock_guard<std::mutex> lock(SourceMutex());
        pSource = Source();
    }
    if (!pSource || !*pSource)
        return -1;
    return (*pSource)(strKey);
}

void SetSerialSource(SerialSource fnSource)
{
    std::shared_ptr<const SerialSource> pNew;
    if (fnSource)
        pNew = std::make_shared<const SerialSource>(std::move(fnSource));
    std::lock_guard<std::mutex> lock(SourceMutex());
    Source() = std::move(pNew);
}

}  // namespace db_layer
