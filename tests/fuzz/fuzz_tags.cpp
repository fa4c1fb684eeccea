// Tag sets fed hostile keys and values: every kind of set, every value kind, conversions to
// integers and text, and copying between sets must stay in bounds and keep their promises.
#include "AuTags.h"
#include "AuText.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// Splits the input into fields at '\n'; field 0 picks the set, then key/value pairs follow.
struct Reader {
    const std::uint8_t *p;
    size_t n;
    bool next(std::string &out)
    {
        if (n == 0)
            return false;
        size_t i = 0;
        while (i < n && p[i] != '\n')
            ++i;
        out.assign(reinterpret_cast<const char *>(p), i);
        const size_t used = i < n ? i + 1 : i;
        p += used;
        n -= used;
        return true;
    }
};

std::unique_ptr<TAuTags> MakeSet(int kind)
{
    switch (kind & 3) {
    case 0: return std::make_unique<TId3v1Tags>();
    case 1: return std::make_unique<TId3v2Tags>();
    case 2: return std::make_unique<TAPEv2Tags>();
    default: return std::make_unique<TCommonTags>();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, size_t Size)
{
    if (Size == 0)
        return 0;
    auto set = MakeSet(Data[0]);
    auto other = MakeSet(Data[0] >> 2);
    Reader r{Data + 1, Size - 1};
    std::string key, value;
    int step = 0;
    while (r.next(key) && r.next(value)) {
        switch (step++ % 3) {
        case 0: set->SetValue(key, value); break;
        case 1: set->SetValue(key, Utf8ToUtf16(value)); break;
        default: set->SetValue(key, static_cast<std::int32_t>(value.size() * 7919u)); break;
        }
        (void)set->GetAsInteger(key);
        (void)set->GetAsString(key);
        (void)set->GetAsWideString(key);
    }
    for (int i = 0; i < set->GetIdCount(); ++i) {
        const std::string id = set->GetId(i);
        if (id.empty())
            std::abort(); // every index below the count names a declared key
        (void)set->GetAsWideString(id);
    }
    if (!set->GetId(set->GetIdCount()).empty())
        std::abort();
    other->Assign(*set);
    set->AssignTo(*other);
    // A copy between sets of the same kind keeps every value.
    auto same = MakeSet(Data[0]);
    same->Assign(*set);
    for (int i = 0; i < set->GetIdCount(); ++i)
        if (same->GetValue(set->GetId(i)) != set->GetValue(set->GetId(i)))
            std::abort();
    set->Clear();
    if (!set->Empty())
        std::abort();
    return 0;
}
