// The program's settings file (INI): every value the program reads, converted as it converts them
// (window position, the five device counts, the saved MAC address).
#include <initializer_list>
#include <QSettings>
#include <QStringList>

#include "qz_file.h"

namespace {

int stored_count(const QString &text, int low, int high, int fallback)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value < static_cast<uint>(low) || value > static_cast<uint>(high))
        return fallback;
    return static_cast<int>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QSettings settings(qz_fuzz_write_file("ini", data, size), QSettings::IniFormat);
    for (const char *key : {"APP/PosX", "APP/PosY", "APP/Width", "APP/Height"})
        settings.value(QString::fromLatin1(key)).toString().toInt(nullptr, 10);
    stored_count(settings.value(QStringLiteral("DEVICE/KTV4S")).toString(), 1, 4, 1);
    stored_count(settings.value(QStringLiteral("DEVICE/Area1")).toString(), 2, 25, 9);
    for (const char *key : {"DEVICE/Area2", "DEVICE/Area3", "DEVICE/Area4"})
        stored_count(settings.value(QString::fromLatin1(key)).toString(), 1, 24, 8);
    const QString mac = settings.value(QStringLiteral("NIC/MAC_Address")).toString();
    mac.split(QLatin1Char(':'), Qt::KeepEmptyParts).size();
    settings.allKeys();
    return 0;
}
