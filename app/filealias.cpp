#include "filealias.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

bool FileAlias::isValidName(const QByteArray &name)
{
    return QFile::encodeName(QFile::decodeName(name)) == name;
}

FileAlias::FileAlias(const QByteArray &rawPath)
{
    if (isValidName(rawPath)) {
        m_path = QFile::decodeName(rawPath);
        return;
    }
    QByteArray folder = QFile::encodeName(QDir::tempPath()) + "/.k8thumbgen-alias-XXXXXX";
    if (!::mkdtemp(folder.data()))
        return;
    // The link keeps the file's suffix where it is plain ASCII, so that the
    // MIME lookup by name still works.
    const int dot = rawPath.lastIndexOf('.');
    const QByteArray suffix = dot > rawPath.lastIndexOf('/') ? rawPath.mid(dot) : QByteArray();
    const bool ascii = std::all_of(suffix.begin(), suffix.end(), [](char c) { return uchar(c) < 0x80 && c != '/'; });
    const QByteArray link = folder + "/file" + (ascii ? suffix : QByteArray());
    if (::symlink(rawPath.constData(), link.constData()) != 0) {
        ::rmdir(folder.constData());
        return;
    }
    m_folder = folder;
    m_path = QFile::decodeName(link);
}

FileAlias::~FileAlias()
{
    if (m_folder.isEmpty())
        return;
    ::unlink(QFile::encodeName(m_path).constData());
    ::rmdir(m_folder.constData());
}
