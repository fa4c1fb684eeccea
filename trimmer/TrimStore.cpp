// The window state's store: the per-user registry stand-in shared with the recorder.
#include "TrimStore.h"

#include "DateTimeValue.h"
#include "UserStore.h"

TTrimStore::TTrimStore(const QString &Key) : FKey(Key), FStore(std::make_unique<UserStore>()) {}

TTrimStore::~TTrimStore() = default;

int TTrimStore::ReadInteger(const QString &Section, const QString &Name, int Default)
{
    try {
        return FStore->readInteger(key(Section), Name).value_or(Default);
    } catch (const UserStoreError &) {
        return Default; // stored with another type: as good as missing
    }
}

void TTrimStore::WriteInteger(const QString &Section, const QString &Name, int Value)
{
    try {
        FStore->writeInteger(key(Section), Name, Value);
    } catch (const UserStoreError &e) {
        FError = e.message();
    }
}

double TTrimStore::ReadDateTime(const QString &Section, const QString &Name, double Default)
{
    try {
        const std::optional<QByteArray> bytes = FStore->readBinary(key(Section), Name);
        if (!bytes)
            return Default;
        const std::optional<DateTimeValue> v = DateTimeValue::fromBytes(*bytes);
        return v ? v->days() : Default;
    } catch (const UserStoreError &) {
        return Default;
    }
}

void TTrimStore::WriteDateTime(const QString &Section, const QString &Name, double Value)
{
    try {
        FStore->writeBinary(key(Section), Name, DateTimeValue(Value).toBytes());
    } catch (const UserStoreError &e) {
        FError = e.message();
    }
}
