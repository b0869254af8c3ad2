#include "transfer/base64.h"

namespace pv {

QByteArray newBase64Encode(const void *bytes, std::size_t length)
{
    if (length == 0)
        return QByteArray("");
    return QByteArray::fromRawData(static_cast<const char *>(bytes), qsizetype(length))
        .toBase64(QByteArray::Base64Encoding);
}

} // namespace pv
