// The fuzz input written to a file of its own (one per process), for the readers that take a path.
// The file goes with the process.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <unistd.h>

struct qz_fuzz_file {
    QString path;
    ~qz_fuzz_file() { ::unlink(QFile::encodeName(path).constData()); }
};

inline QString qz_fuzz_write_file(const char *suffix, const uint8_t *data, size_t size)
{
    static const qz_fuzz_file written{QDir::tempPath() +
                                      QStringLiteral("/qz_fuzz_%1.%2").arg(getpid()).arg(QString::fromLatin1(suffix))};
    QFile file(written.path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(reinterpret_cast<const char *>(data), qint64(size));
        file.close();
    }
    return written.path;
}
