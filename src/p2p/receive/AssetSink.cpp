#include "p2p/receive/AssetSink.h"

#include "p2p/protocol/errors/UserFacingError.h"

namespace p2p {

AssetSinkError::AssetSinkError(Kind kind)
    : kind_(kind)
{
}

AssetSinkError AssetSinkError::destinationUnavailable(std::string reason)
{
    AssetSinkError error(Kind::destinationUnavailable);
    error.reason_ = std::move(reason);
    error.text_ = error.description();
    return error;
}

AssetSinkError AssetSinkError::writeFailed(std::string filename, std::string reason)
{
    AssetSinkError error(Kind::writeFailed);
    error.filename_ = std::move(filename);
    error.reason_ = std::move(reason);
    error.text_ = error.description();
    return error;
}

AssetSinkError AssetSinkError::insufficientSpace(std::int64_t requiredByteCount)
{
    AssetSinkError error(Kind::insufficientSpace);
    error.requiredByteCount_ = requiredByteCount;
    error.text_ = error.description();
    return error;
}

AssetSinkError AssetSinkError::sessionNotPrepared()
{
    AssetSinkError error(Kind::sessionNotPrepared);
    error.text_ = error.description();
    return error;
}

std::string AssetSinkError::description() const
{
    switch (kind_) {
    case Kind::destinationUnavailable:
    case Kind::writeFailed:
        return reason_;
    case Kind::insufficientSpace:
        return UserFacingError::localized("error.disk_full", "电脑空间不足");
    case Kind::sessionNotPrepared:
        return UserFacingError::localized("error.session_not_ready", "还没准备好接收");
    }
    return reason_;
}

} // namespace p2p
