// A child process for the store tests: writes to a store file until killed or done.
//
//   userstore_writer FILE series          endless rounds; round r writes, in this order, the
//                                          integers "v0".."v9" := r, the strings "s0".."s2" :=
//                                          text(r) and the binary "b" := 8 bytes of double r,
//                                          all under "Software\series"; r starts one above
//                                          the last complete round ("b") found at start
//   userstore_writer FILE contend ID N     N rounds of: "Shared\x" := ID * 1000000 + n and
//                                          "Shared\own<ID>" := n
//
// Exits 0 when every write succeeded, 1 with the error on stderr otherwise. Prints "ready" on
// stdout once the store is open.
#include "DateTimeValue.h"
#include "UserStore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The text a series round writes into its strings: long enough to span several pages of the
// file now and then, and checkable as a whole.
QString seriesText(std::int32_t round)
{
    return QString::number(round) + u':' + QString(round % 3000, QChar(u'a' + round % 26));
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const QString file = QString::fromLocal8Bit(argv[1]);
    try {
        UserStore store(file);
        if (!store.isUsable()) {
            std::fprintf(stderr, "%s\n", store.openError().toLocal8Bit().constData());
            return 1;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        if (std::strcmp(argv[2], "series") == 0) {
            const QString key = QStringLiteral("Software\\series");
            std::int32_t round = 0;
            if (const auto b = store.readBinary(key, QStringLiteral("b")))
                round = static_cast<std::int32_t>(DateTimeValue::fromBytes(*b).value_or(DateTimeValue()).days());
            for (;;) {
                ++round;
                for (int i = 0; i < 10; ++i)
                    store.writeInteger(key, QStringLiteral("v") + QString::number(i), round);
                for (int i = 0; i < 3; ++i)
                    store.writeString(key, QStringLiteral("s") + QString::number(i), seriesText(round));
                store.writeBinary(key, QStringLiteral("b"), DateTimeValue(round).toBytes());
            }
        }
        if (std::strcmp(argv[2], "contend") == 0 && argc >= 5) {
            const int id = std::atoi(argv[3]);
            const int n = std::atoi(argv[4]);
            for (int r = 1; r <= n; ++r) {
                store.writeInteger(QStringLiteral("Shared"), QStringLiteral("x"), id * 1000000 + r);
                store.writeInteger(QStringLiteral("Shared"), QStringLiteral("own") + QString::number(id), r);
            }
            return 0;
        }
    } catch (const UserStoreError &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 2;
}
