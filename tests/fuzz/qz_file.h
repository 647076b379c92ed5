// The fuzz input written to a file of its own (one per process), for the readers that take a path.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <unistd.h>

inline QString qz_fuzz_write_file(const char *suffix, const uint8_t *data, size_t size)
{
    static const QString path =
        QDir::tempPath() + QStringLiteral("/qz_fuzz_%1.%2").arg(getpid()).arg(QString::fromLatin1(suffix));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(reinterpret_cast<const char *>(data), qint64(size));
        file.close();
    }
    return path;
}
