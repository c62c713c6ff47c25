#ifndef FILEALIAS_H
#define FILEALIAS_H
#include <QByteArray>
#include <QString>

// A file whose name is not valid UTF-8 (Latin-1 or GBK bytes, common on
// shares filled from old Windows machines and archives) cannot be opened
// through a QString: Qt turns the bytes into replacement characters. Such
// a file is reached through a link with a UTF-8 name, in a private folder
// made for it (as whoever the thread acts as, so that the link grants
// nothing the file does not) in the temporary folder, and removed with the
// alias. Valid names are used as they are.
class FileAlias
{
public:
    explicit FileAlias(const QByteArray &rawPath);
    ~FileAlias();
    FileAlias(const FileAlias &) = delete;
    FileAlias &operator=(const FileAlias &) = delete;

    // What renderers open; empty when the link could not be made.
    QString path() const { return m_path; }
    // Whether path() is a link rather than the file's own name.
    bool linked() const { return !m_folder.isEmpty(); }

    // Whether the bytes decode to a name that encodes back to them.
    static bool isValidName(const QByteArray &name);

    // Removes the alias folders a process that died left behind: those
    // made before this one started and held by no live alias. Called once
    // at start.
    static void removeStale();

private:
    QString m_path;
    QByteArray m_folder;
    int m_lockFd = -1;     // the folder, locked while the alias lives
};

#endif // FILEALIAS_H
