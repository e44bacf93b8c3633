#pragma once
// Small JSON records that must survive a crash of the connection helper: the restart
// receipt, the resource receipt and the VM power intent. One generic store keeps each
// record in its own private file, read and written through the hardened private-file
// reader and writer (no links, owner and mode checks, 4,096-byte limit, atomic replace
// after flushing to disk).
//
// Files, under ~/Library/Application Support/Tessaron:
//   lifecycle/<pairing key>.json         restart receipt
//   resource-changes/<pairing key>.json  resource receipt
//   power-intent.json                    power intent
//
// A record type `Value` provides `json::Json toJson() const` and
// `static Value fromJson(const json::Json&)` (throwing json::DecodingError).
//
// The store takes no lock; its callers serialise writers (the VM resource lock).

#include "host/agent_configuration.h"
#include "host/json.h"
#include "host/pairing_key.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>

namespace tessaron {

// The restart executor's progress with one command.
struct RestartReceipt {
    std::string commandID;                   // the panel's command ID
    std::string beforeBootID;                // the guest's boot ID before the restart
    std::string phase;                       // "prepared", "attempted" or "finished"
    std::optional<std::string> outcome;      // "succeeded" or "failed", with "finished"
    std::optional<std::string> afterBootID;  // the boot ID after the restart, when known

    bool operator==(const RestartReceipt&) const = default;

    // "outcome" and "afterBootID" are left out when absent; on reading they may be
    // missing or null, the other three keys are required strings.
    json::Json toJson() const;
    static RestartReceipt fromJson(const json::Json& object);
};

// The wish that the VM be running or stopped, recorded by `vm start`/`vm stop` and by
// the panel's power commands.
struct VMPowerIntent {
    std::string desired;  // "running" or "stopped"
    double setAt = 0;     // seconds since 1970-01-01 00:00 UTC

    bool operator==(const VMPowerIntent&) const = default;
    bool wantsStopped() const { return desired == "stopped"; }

    // Both keys required.
    json::Json toJson() const;
    static VMPowerIntent fromJson(const json::Json& object);
};

// Where the restart executor keeps its receipt.
class RestartReceiptStore {
public:
    virtual ~RestartReceiptStore() = default;
    virtual std::optional<RestartReceipt> load() = 0;
    virtual void save(const RestartReceipt& receipt) = 0;
};

// Where the power intent is kept.
class VMPowerIntentStore {
public:
    virtual ~VMPowerIntentStore() = default;
    virtual std::optional<VMPowerIntent> load() = 0;
    virtual void save(const VMPowerIntent& intent) = 0;

    // Records `desired` ("running" or "stopped") with the current time. Never throws: a
    // wish that cannot be saved is dropped.
    void want(const std::string& desired) noexcept;
    // Whether the saved wish is "stopped"; false when there is none or it cannot be read.
    bool wantsStopped() noexcept;
};

// The interface that DiskOperationReceiptStore<Value> implements for a record type.
// Record types with a store interface specialise it (after including this header):
//   template <> struct ReceiptStoreInterface<MyRecord> { using type = MyRecordStore; };
struct NoReceiptStoreInterface {};
template <class Value>
struct ReceiptStoreInterface {
    using type = NoReceiptStoreInterface;
};
template <>
struct ReceiptStoreInterface<RestartReceipt> {
    using type = RestartReceiptStore;
};
template <>
struct ReceiptStoreInterface<VMPowerIntent> {
    using type = VMPowerIntentStore;
};

// The untyped file operations behind the store.
namespace receipt_file {

// Every record file is refused on reading beyond this size, so none is written beyond it.
inline constexpr std::size_t maxBytes = 4096;

// The record's bytes, or nothing when there is no file. Throws LifecycleFailure for a
// file that cannot be opened safely (a symbolic link, for example) or that is not a
// regular file of the current user without group or other bits within maxBytes; a read
// error passes unchanged.
std::optional<std::string> read(const std::filesystem::path& file);

// Writes `bytes` as the record: refuses more than maxBytes before touching anything;
// creates the folder (0700) when missing and requires it to be a real, private folder of
// the current user; runs `checkExisting` (which throws to refuse); then replaces the file
// atomically with mode 0600 from a ".restart-<UUID>" temporary file. LifecycleFailure
// for each refusal; the folder's creation or inspection error passes unchanged. On every
// failure the old file is unchanged and no temporary file is left.
void write(const std::filesystem::path& file, const std::string& bytes, const std::function<void()>& checkExisting);

// Removes the ".restart-<UUID>" files that a process killed in the middle of write()
// left in the support folder, "lifecycle" and "resource-changes" (those at least a
// minute old, so a write in progress elsewhere is not disturbed). Never throws.
void sweepInterruptedWrites() noexcept;

// ~/Library/Application Support/Tessaron, "lifecycle" or "resource-changes" below it.
// Throws AgentConfigurationError(applicationSupportUnavailable) without a home folder.
std::filesystem::path supportDirectory();
std::filesystem::path defaultDirectory(bool resourceOperation);

// Parses a record's text; JSON and record errors are json::DecodingError.
json::Json parse(const std::string& bytes);

// The bytes a record is saved as: its compact JSON text.
template <class Value>
std::string encode(const Value& value) {
    return json::encode(value.toJson());
}

// Whether `value` can be saved at all (write() refuses a record beyond maxBytes). An
// executor asks this of the largest record a command will need before it saves the first.
template <class Value>
bool fits(const Value& value) {
    return encode(value).size() <= maxBytes;
}

}  // namespace receipt_file

template <class Value>
class DiskOperationReceiptStore : public ReceiptStoreInterface<Value>::type {
public:
    // A store for that file.
    explicit DiskOperationReceiptStore(std::filesystem::path url) : url_(std::move(url)) {}

    // The receipt file of this pairing: <pairing key>.json in `directory`, or in the
    // default "lifecycle" / "resource-changes" folder. Nothing is touched on disk.
    DiskOperationReceiptStore(const AgentConfiguration& configuration,
                              const std::optional<std::filesystem::path>& directory, bool resourceOperation);

    // The power-intent file, power-intent.json. Nothing is touched on disk.
    static DiskOperationReceiptStore forThisMac()
        requires std::is_same_v<Value, VMPowerIntent>
    {
        return DiskOperationReceiptStore(receipt_file::supportDirectory() / "power-intent.json");
    }

    const std::filesystem::path& url() const { return url_; }

    // The saved record, or nothing when there is none. An empty or damaged file is a
    // json::DecodingError, never "none".
    std::optional<Value> load() {
        auto bytes = receipt_file::read(url_);
        if (!bytes) return std::nullopt;
        return decode(*bytes);
    }

    // Replaces the saved record. An existing file that is unsafe or does not decode as
    // the record is reported and left as it is.
    void save(const Value& value) {
        receipt_file::write(url_, receipt_file::encode(value), [this] { (void)load(); });
    }

private:
    static Value decode(const std::string& bytes);

    std::filesystem::path url_;
};

template <class Value>
DiskOperationReceiptStore<Value>::DiskOperationReceiptStore(const AgentConfiguration& configuration,
                                                            const std::optional<std::filesystem::path>& directory,
                                                            bool resourceOperation)
    : url_((directory ? *directory : receipt_file::defaultDirectory(resourceOperation)) /
           (pairingKey(configuration) + ".json")) {}

template <class Value>
Value DiskOperationReceiptStore<Value>::decode(const std::string& bytes) {
    const json::Json object = receipt_file::parse(bytes);
    try {
        return Value::fromJson(object);
    } catch (const json::Json::exception& error) {
        throw json::DecodingError(std::string("The restart receipt could not be decoded: ") + error.what() + ".");
    }
}

using RestartReceiptFileStore = DiskOperationReceiptStore<RestartReceipt>;
using VMPowerIntentFileStore = DiskOperationReceiptStore<VMPowerIntent>;

}  // namespace tessaron
