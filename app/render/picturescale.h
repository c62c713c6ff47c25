#ifndef PICTURESCALE_H
#define PICTURESCALE_H
#include <QImage>
#include <QSize>

// The last step of every picture renderer: the decoded picture brought to
// exactly size with a Lanczos kernel, transparent pixels flattened on
// white. A null image when memory ran out.
QImage finishPicture(const QImage &decoded, const QSize &size);

#endif // PICTURESCALE_H
