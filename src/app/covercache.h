#pragma once

#include <QByteArray>
#include <QString>

namespace orvane {

// The covers written for the desktop's media controls (mpris:artUrl): one file per distinct
// picture, named by its content. It keeps the current cover and a bounded set of the most
// recently used ones (at most maxFiles files and maxBytes in all), pruned when made and each
// time a new cover is written.
class CoverCache {
public:
    explicit CoverCache(QString folder, int maxFiles = 64, qint64 maxBytes = 32 * 1024 * 1024);

    // The file holding `picture` (written when new), or empty when it cannot be written.
    QString store(const QByteArray& picture);
    // Where store() keeps `picture` in `folder`: named by its content, so known before it is
    // written.
    static QString pathFor(const QString& folder, const QByteArray& picture);
    const QString& folder() const { return folder_; }

private:
    void prune(const QString& keep);

    QString folder_;
    int maxFiles_;
    qint64 maxBytes_;
    QString current_;
};

} // namespace orvane
