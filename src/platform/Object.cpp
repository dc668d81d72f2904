#include "platform/Object.h"

#include <map>
#include <mutex>
#include <string>

namespace {
struct ClassRegistry
{
    std::mutex mutex;
    std::map<std::string, std::function<CObject*()>> factories;
};

ClassRegistry& Registry()
{
    static ClassRegistry s_registry;
    return s_registry;
}
} // namespace

void CObject::Serialize(CArchive&) {}

bool CObject::IsKindOf(const char* pszClassName) const
{
    return pszClassName && std::string(GetRuntimeClassName()) == pszClassName;
}

CObject* CObject::CreateObject(const char* pszClassName)
{
    if (!pszClassName)
        return nullptr;
    auto& reg = Registry();
    std::lock_guard lock(reg.mutex);
    const auto it = reg.factories.find(pszClassName);
    return it == reg.factories.end() ? nullptr : it->second();
}

void CObject::RegisterClass(const char* pszClassName, std::function<CObject*()> factory)
{
    auto& reg = Registry();
    std::lock_guard lock(reg.mutex);
    reg.factories[pszClassName] = std::move(factory);
}
