#include "p2p/protocol/messages/JsonCoding.h"

#include <cmath>
#include <limits>
#include <utility>

namespace p2p {

using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& message)
{
    throw JsonDecodeError(message);
}

std::string quoted(const char* key)
{
    return std::string("\"") + key + "\"";
}

const json& requireObject(const json& j)
{
    if (!j.is_object()) {
        fail("应为 JSON 对象");
    }
    return j;
}

// A present, non-null value, or nullptr.
const json* optionalValue(const json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

const json& requiredValue(const json& object, const char* key)
{
    const json* value = optionalValue(object, key);
    if (value == nullptr) {
        fail("缺少键 " + quoted(key));
    }
    return *value;
}

std::string stringValue(const json& value, const char* key)
{
    if (!value.is_string()) {
        fail("键 " + quoted(key) + " 应为字符串");
    }
    return value.get<std::string>();
}

std::string getString(const json& object, const char* key)
{
    return stringValue(requiredValue(object, key), key);
}

std::optional<std::string> getOptionalString(const json& object, const char* key)
{
    const json* value = optionalValue(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    return stringValue(*value, key);
}

// nlohmann's get<T>() truncates silently, and a number beyond 2^64 arrives as a float; so check the
// JSON kind and the range ourselves. An integral float such as 1.0 is taken, 1.5 is not.
template <typename T>
T integerValue(const json& value, const char* key)
{
    const auto outOfRange = [key]() { fail("键 " + quoted(key) + " 的整数超出范围"); };
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (!std::in_range<T>(number)) {
            outOfRange();
        }
        return static_cast<T>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (!std::in_range<T>(number)) {
            outOfRange();
        }
        return static_cast<T>(number);
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!std::isfinite(number) || number != std::trunc(number)) {
            fail("键 " + quoted(key) + " 应为整数");
        }
        const double upper = std::ldexp(1.0, std::numeric_limits<T>::digits); // exclusive
        const double lower = std::numeric_limits<T>::is_signed ? -upper : 0.0;
        if (number < lower || number >= upper) {
            outOfRange();
        }
        return static_cast<T>(number);
    }
    fail("键 " + quoted(key) + " 应为整数");
}

template <typename T>
T getInt(const json& object, const char* key)
{
    return integerValue<T>(requiredValue(object, key), key);
}

bool getBool(const json& object, const char* key)
{
    const json& value = requiredValue(object, key);
    if (!value.is_boolean()) {
        fail("键 " + quoted(key) + " 应为布尔值");
    }
    return value.get<bool>();
}

std::optional<double> getOptionalDate(const json& object, const char* key)
{
    const json* value = optionalValue(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_number()) {
        fail("键 " + quoted(key) + " 应为数字");
    }
    const double seconds = value->get<double>();
    if (!std::isfinite(seconds)) {
        fail("键 " + quoted(key) + " 不是有限数");
    }
    return seconds;
}

template <typename Enum>
Enum getEnum(const json& object, const char* key)
{
    const std::string text = getString(object, key);
    const auto parsed = fromRawValue<Enum>(text);
    if (!parsed) {
        fail("键 " + quoted(key) + " 的取值无效：" + text);
    }
    return *parsed;
}

Uuid getUuid(const json& object, const char* key)
{
    const std::string text = getString(object, key);
    const auto parsed = Uuid::parse(text);
    if (!parsed) {
        fail("键 " + quoted(key) + " 不是 UUID：" + text);
    }
    return *parsed;
}

template <typename T>
std::vector<T> getArray(const json& object, const char* key)
{
    const json& value = requiredValue(object, key);
    if (!value.is_array()) {
        fail("键 " + quoted(key) + " 应为数组");
    }
    std::vector<T> result;
    result.reserve(value.size());
    for (const json& element : value) {
        if constexpr (std::is_same_v<T, std::string>) {
            result.push_back(stringValue(element, key));
        } else {
            result.push_back(element.get<T>());
        }
    }
    return result;
}

template <typename T>
void putOptional(json& j, const char* key, const std::optional<T>& value)
{
    if (value) {
        j[key] = *value;
    }
}

} // namespace

std::string dumpJson(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void to_json(json& j, const Uuid& value)
{
    j = value.toString();
}

void from_json(const json& j, Uuid& value)
{
    if (!j.is_string()) {
        fail("UUID 应为字符串");
    }
    const auto parsed = Uuid::parse(j.get_ref<const std::string&>());
    if (!parsed) {
        fail("不是 UUID：" + j.get<std::string>());
    }
    value = *parsed;
}

void to_json(json& j, const DeviceInfo& value)
{
    j = json::object();
    j["name"] = value.name;
    putOptional(j, "model", value.model);
    putOptional(j, "systemVersion", value.systemVersion);
    j["identifier"] = value.identifier;
}

void from_json(const json& j, DeviceInfo& value)
{
    requireObject(j);
    DeviceInfo result;
    result.name = getString(j, "name");
    result.model = getOptionalString(j, "model");
    result.systemVersion = getOptionalString(j, "systemVersion");
    result.identifier = getString(j, "identifier");
    value = std::move(result);
}

void to_json(json& j, const FileDescriptor& value)
{
    j = json::object();
    j["role"] = rawValue(value.role);
    j["filename"] = value.filename;
    j["byteCount"] = value.byteCount;
}

void from_json(const json& j, FileDescriptor& value)
{
    requireObject(j);
    FileDescriptor result;
    result.role = getEnum<FileDescriptor::Role>(j, "role");
    result.filename = getString(j, "filename");
    result.byteCount = getInt<std::int64_t>(j, "byteCount");
    value = std::move(result);
}

void to_json(json& j, const AssetDescriptor& value)
{
    j = json::object();
    j["assetID"] = value.assetID;
    j["kind"] = rawValue(value.kind);
    putOptional(j, "creationDate", value.creationDate);
    putOptional(j, "modificationDate", value.modificationDate);
    j["files"] = value.files;
    putOptional(j, "quickFingerprint", value.quickFingerprint);
}

void from_json(const json& j, AssetDescriptor& value)
{
    requireObject(j);
    AssetDescriptor result;
    result.assetID = getString(j, "assetID");
    result.kind = getEnum<AssetKind>(j, "kind");
    result.creationDate = getOptionalDate(j, "creationDate");
    result.modificationDate = getOptionalDate(j, "modificationDate");
    result.files = getArray<FileDescriptor>(j, "files");
    result.quickFingerprint = getOptionalString(j, "quickFingerprint");
    value = std::move(result);
}

void to_json(json& j, const Hello& value)
{
    j = json{{"protocolVersion", value.protocolVersion}, {"device", value.device}};
}

void from_json(const json& j, Hello& value)
{
    requireObject(j);
    Hello result;
    result.protocolVersion = getInt<std::uint16_t>(j, "protocolVersion");
    result.device = requiredValue(j, "device").get<DeviceInfo>();
    value = std::move(result);
}

void to_json(json& j, const HelloAck& value)
{
    j = json{{"protocolVersion", value.protocolVersion}, {"device", value.device},
        {"requiresPairing", value.requiresPairing}};
}

void from_json(const json& j, HelloAck& value)
{
    requireObject(j);
    HelloAck result;
    result.protocolVersion = getInt<std::uint16_t>(j, "protocolVersion");
    result.device = requiredValue(j, "device").get<DeviceInfo>();
    result.requiresPairing = getBool(j, "requiresPairing");
    value = std::move(result);
}

void to_json(json& j, const PairingRequest& value)
{
    j = json{{"code", value.code}};
}

void from_json(const json& j, PairingRequest& value)
{
    requireObject(j);
    value.code = getString(j, "code");
}

void to_json(json& j, const PairingResult& value)
{
    j = json{{"outcome", rawValue(value.outcome)}, {"remainingAttempts", value.remainingAttempts}};
}

void from_json(const json& j, PairingResult& value)
{
    requireObject(j);
    PairingResult result;
    result.outcome = getEnum<PairingResult::Outcome>(j, "outcome");
    result.remainingAttempts = getInt<std::int64_t>(j, "remainingAttempts");
    value = result;
}

void to_json(json& j, const SessionBegin& value)
{
    j = json{{"sessionID", value.sessionID}, {"assetCount", value.assetCount},
        {"declaredByteCount", value.declaredByteCount}};
}

void from_json(const json& j, SessionBegin& value)
{
    requireObject(j);
    SessionBegin result;
    result.sessionID = getUuid(j, "sessionID");
    result.assetCount = getInt<std::int64_t>(j, "assetCount");
    result.declaredByteCount = getInt<std::int64_t>(j, "declaredByteCount");
    value = result;
}

void to_json(json& j, const ManifestBatch& value)
{
    j = json{{"sessionID", value.sessionID}, {"batchIndex", value.batchIndex}, {"entries", value.entries}};
}

void from_json(const json& j, ManifestBatch& value)
{
    requireObject(j);
    ManifestBatch result;
    result.sessionID = getUuid(j, "sessionID");
    result.batchIndex = getInt<std::int64_t>(j, "batchIndex");
    result.entries = getArray<AssetDescriptor>(j, "entries");
    value = std::move(result);
}

void to_json(json& j, const ManifestEnd& value)
{
    j = json{{"sessionID", value.sessionID}, {"batchCount", value.batchCount}};
}

void from_json(const json& j, ManifestEnd& value)
{
    requireObject(j);
    ManifestEnd result;
    result.sessionID = getUuid(j, "sessionID");
    result.batchCount = getInt<std::int64_t>(j, "batchCount");
    value = result;
}

void to_json(json& j, const SkipListBatch& value)
{
    j = json{{"sessionID", value.sessionID}, {"batchIndex", value.batchIndex}, {"assetIDs", value.assetIDs}};
}

void from_json(const json& j, SkipListBatch& value)
{
    requireObject(j);
    SkipListBatch result;
    result.sessionID = getUuid(j, "sessionID");
    result.batchIndex = getInt<std::int64_t>(j, "batchIndex");
    result.assetIDs = getArray<std::string>(j, "assetIDs");
    value = std::move(result);
}

void to_json(json& j, const SkipListEnd& value)
{
    j = json{{"sessionID", value.sessionID}, {"batchCount", value.batchCount}};
}

void from_json(const json& j, SkipListEnd& value)
{
    requireObject(j);
    SkipListEnd result;
    result.sessionID = getUuid(j, "sessionID");
    result.batchCount = getInt<std::int64_t>(j, "batchCount");
    value = result;
}

void to_json(json& j, const FileBegin& value)
{
    j = json{{"assetID", value.assetID}, {"fileIndex", value.fileIndex}, {"filename", value.filename},
        {"declaredByteCount", value.declaredByteCount}};
}

void from_json(const json& j, FileBegin& value)
{
    requireObject(j);
    FileBegin result;
    result.assetID = getString(j, "assetID");
    result.fileIndex = getInt<std::int64_t>(j, "fileIndex");
    result.filename = getString(j, "filename");
    result.declaredByteCount = getInt<std::int64_t>(j, "declaredByteCount");
    value = std::move(result);
}

void to_json(json& j, const FileEnd& value)
{
    j = json{{"assetID", value.assetID}, {"fileIndex", value.fileIndex}, {"byteCount", value.byteCount},
        {"crc32", value.crc32}};
}

void from_json(const json& j, FileEnd& value)
{
    requireObject(j);
    FileEnd result;
    result.assetID = getString(j, "assetID");
    result.fileIndex = getInt<std::int64_t>(j, "fileIndex");
    result.byteCount = getInt<std::int64_t>(j, "byteCount");
    result.crc32 = getInt<std::uint32_t>(j, "crc32");
    value = std::move(result);
}

void to_json(json& j, const FileAck& value)
{
    j = json{{"assetID", value.assetID}, {"fileIndex", value.fileIndex}, {"result", rawValue(value.result)}};
    putOptional(j, "message", value.message);
}

void from_json(const json& j, FileAck& value)
{
    requireObject(j);
    FileAck result;
    result.assetID = getString(j, "assetID");
    result.fileIndex = getInt<std::int64_t>(j, "fileIndex");
    result.result = getEnum<FileAck::Result>(j, "result");
    result.message = getOptionalString(j, "message");
    value = std::move(result);
}

void to_json(json& j, const SessionEnd& value)
{
    j = json{{"reason", rawValue(value.reason)}};
    putOptional(j, "message", value.message);
}

void from_json(const json& j, SessionEnd& value)
{
    requireObject(j);
    SessionEnd result;
    result.reason = getEnum<SessionEnd::Reason>(j, "reason");
    result.message = getOptionalString(j, "message");
    value = std::move(result);
}

} // namespace p2p
