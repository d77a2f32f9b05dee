#include "support/MemorySecretStore.hpp"

namespace ravnix {

SecretStatus MemorySecretStore::record(Call call) {
    const SecretStatus status = call.status;
    recorded.push_back(std::move(call));
    return status;
}

SecretReadResult MemorySecretStore::read(const SecretItemAddress& address) {
    std::lock_guard guard(itemsLock);
    SecretReadResult result;
    if (const auto failure = failures.find(Operation::read); failure != failures.end()) {
        result.status = failure->second;
    } else if (const auto found = items.find(address); found != items.end()) {
        result.bytes = found->second;
    } else {
        result.status = SecretStatusCode::itemNotFound;
    }
    record({Operation::read, address, std::nullopt, result.status});
    return result;
}

SecretStatus MemorySecretStore::update(const SecretItemAddress& address,
                                       std::span<const std::uint8_t> bytes) {
    std::lock_guard guard(itemsLock);
    if (const auto failure = failures.find(Operation::update); failure != failures.end()) {
        return record({Operation::update, address, std::nullopt, failure->second});
    }
    const auto found = items.find(address);
    if (found == items.end()) {
        return record({Operation::update, address, std::nullopt, SecretStatusCode::itemNotFound});
    }
    found->second.assign(bytes.begin(), bytes.end());
    return record({Operation::update, address, std::nullopt, SecretStatusCode::success});
}

SecretStatus MemorySecretStore::add(const SecretItemAddress& address,
                                    std::span<const std::uint8_t> bytes,
                                    SecretAccessibility accessibility) {
    std::lock_guard guard(itemsLock);
    if (const auto failure = failures.find(Operation::add); failure != failures.end()) {
        return record({Operation::add, address, accessibility, failure->second});
    }
    const bool isNew = items.try_emplace(address, bytes.begin(), bytes.end()).second;
    return record({Operation::add, address, accessibility,
                   isNew ? SecretStatusCode::success : SecretStatusCode::duplicateItem});
}

void MemorySecretStore::setItem(const SecretItemAddress& address, std::vector<std::uint8_t> bytes) {
    std::lock_guard guard(itemsLock);
    items.insert_or_assign(address, std::move(bytes));
}

std::optional<std::vector<std::uint8_t>>
MemorySecretStore::item(const SecretItemAddress& address) const {
    std::lock_guard guard(itemsLock);
    const auto found = items.find(address);
    return found == items.end() ? std::nullopt : std::optional(found->second);
}

void MemorySecretStore::setFailure(Operation operation, std::optional<SecretStatus> status) {
    std::lock_guard guard(itemsLock);
    if (status) {
        failures.insert_or_assign(operation, *status);
    } else {
        failures.erase(operation);
    }
}

std::vector<MemorySecretStore::Call> MemorySecretStore::calls() const {
    std::lock_guard guard(itemsLock);
    return recorded;
}

} // namespace ravnix
