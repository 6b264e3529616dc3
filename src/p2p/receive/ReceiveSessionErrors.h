#pragma once
// What the receiving session's stages share about errors; internal to the session.

#include "p2p/protocol/errors/UserFacingError.h"
#include "p2p/receive/AssetSink.h"

#include <exception>
#include <string>

namespace p2p::receive_session {

// The error's standard text: description() of our errors equals what().
inline std::string errorText(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "未知错误";
    }
}

template <typename T>
inline const T* errorAs(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const T& e) {
        return &e; // the exception object lives as long as `error`
    } catch (...) {
        return nullptr;
    }
}

// The sink's own sentence ("电脑空间不足") tells the user more than a generic one.
inline std::string sinkUserMessage(const std::exception_ptr& failure)
{
    if (const AssetSinkError* sinkError = errorAs<AssetSinkError>(failure))
        return sinkError->userMessage();
    return UserFacingError::message(failure);
}

} // namespace p2p::receive_session
