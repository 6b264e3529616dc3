#pragma once

#include "p2p/protocol/messages/AssetDescriptor.h"
#include "p2p/protocol/messages/DeviceInfo.h"
#include "p2p/protocol/messages/Messages.h"
#include "p2p/protocol/messages/Uuid.h"

#include <nlohmann/json.hpp>

#include <string>

// Strict JSON coding of the protocol records: required keys present and non-null, integers in the
// range of their field, enumerations exactly their raw text, UUIDs in 8-4-4-4-12 form. Optional
// fields are left out when absent and read null as absent. Every failure is a nlohmann::json::exception,
// so `j.get<DeviceInfo>()` and friends report through the library's usual error type.
namespace p2p {

class JsonDecodeError : public nlohmann::json::exception {
public:
    explicit JsonDecodeError(const std::string& message) : nlohmann::json::exception(600, message.c_str()) {}
};

void to_json(nlohmann::json& j, const Uuid& value);
void from_json(const nlohmann::json& j, Uuid& value);
void to_json(nlohmann::json& j, const DeviceInfo& value);
void from_json(const nlohmann::json& j, DeviceInfo& value);
void to_json(nlohmann::json& j, const FileDescriptor& value);
void from_json(const nlohmann::json& j, FileDescriptor& value);
void to_json(nlohmann::json& j, const AssetDescriptor& value);
void from_json(const nlohmann::json& j, AssetDescriptor& value);

void to_json(nlohmann::json& j, const Hello& value);
void from_json(const nlohmann::json& j, Hello& value);
void to_json(nlohmann::json& j, const HelloAck& value);
void from_json(const nlohmann::json& j, HelloAck& value);
void to_json(nlohmann::json& j, const PairingRequest& value);
void from_json(const nlohmann::json& j, PairingRequest& value);
void to_json(nlohmann::json& j, const PairingResult& value);
void from_json(const nlohmann::json& j, PairingResult& value);
void to_json(nlohmann::json& j, const SessionBegin& value);
void from_json(const nlohmann::json& j, SessionBegin& value);
void to_json(nlohmann::json& j, const ManifestBatch& value);
void from_json(const nlohmann::json& j, ManifestBatch& value);
void to_json(nlohmann::json& j, const ManifestEnd& value);
void from_json(const nlohmann::json& j, ManifestEnd& value);
void to_json(nlohmann::json& j, const SkipListBatch& value);
void from_json(const nlohmann::json& j, SkipListBatch& value);
void to_json(nlohmann::json& j, const SkipListEnd& value);
void from_json(const nlohmann::json& j, SkipListEnd& value);
void to_json(nlohmann::json& j, const FileBegin& value);
void from_json(const nlohmann::json& j, FileBegin& value);
void to_json(nlohmann::json& j, const FileEnd& value);
void from_json(const nlohmann::json& j, FileEnd& value);
void to_json(nlohmann::json& j, const FileAck& value);
void from_json(const nlohmann::json& j, FileAck& value);
void to_json(nlohmann::json& j, const SessionEnd& value);
void from_json(const nlohmann::json& j, SessionEnd& value);

// Compact text; invalid UTF-8 in strings (file-system error texts) is replaced, never thrown on.
std::string dumpJson(const nlohmann::json& j);

} // namespace p2p
