// "QZVeltoPatch.json": the plan loaded from any bytes, then every question Apply asks of it.
#include <initializer_list>
#include "QzJsonManager.h"
#include "qz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QzJsonManager manager;
    if (manager.loadPatch(qz_fuzz_write_file("json", data, size)) != QzJsonManager::Loaded)
        return 0;
    manager.planUsable();
    manager.planFault();
    QStringList keys;
    if (!manager.deviceKeys(keys))
        return 0;
    keys << QStringLiteral("000:none") << QString();
    for (const QString &key : keys) {
        QList<QVariantMap> entries;
        if (!manager.devicePatches(key, entries))
            continue;
        for (const QVariantMap &entry : entries)
            for (const char *name : {"txDevType", "txId", "rxCh", "txCh"})
                entry.value(QString::fromLatin1(name)).toString();
    }
    return 0;
}
