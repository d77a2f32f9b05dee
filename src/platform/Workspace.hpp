#pragma once
// The desktop's own handlers: opening a URL, showing a file in the file manager.

#include "platform/PlatformError.hpp"

#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix {

class DispatchQueue;

class Workspace {
  public:
    virtual ~Workspace() = default;

    // Any thread; returns at once. Asks the desktop to open `url` with its handler. Fails when
    // the helper cannot be started (EINVAL for an empty URL or one that starts with '-').
    virtual std::expected<void, PlatformError> openURL(std::string_view url) = 0;
    // Any thread; returns at once. Shows `file` selected in a file manager window; when no file
    // manager takes that request, opens the file's folder instead. Fails when no helper can be
    // started.
    virtual std::expected<void, PlatformError> revealFile(const std::filesystem::path& file) = 0;
};

// "file://" and the absolute path, every byte but letters, digits, "-._~" and "/"
// percent-encoded (so a comma cannot split a D-Bus array argument).
std::string fileURI(const std::filesystem::path& absoluteFile);
// Argument lists of the helper programs; the first is looked up in PATH.
std::vector<std::string> openCommand(std::string_view target);
std::vector<std::string> showItemsCommand(const std::filesystem::path& absoluteFile);

// Runs xdg-open, and dbus-send for org.freedesktop.FileManager1.ShowItems on the session
// bus, without a shell. Their exits are collected on a helper queue of its own; a helper still
// running when the workspace goes is left to finish unobserved.
class DesktopWorkspace final : public Workspace {
  public:
    static std::expected<std::unique_ptr<DesktopWorkspace>, PlatformError> create();
    ~DesktopWorkspace() override;

    std::expected<void, PlatformError> openURL(std::string_view url) override;
    std::expected<void, PlatformError> revealFile(const std::filesystem::path& file) override;

  private:
    explicit DesktopWorkspace(std::unique_ptr<DispatchQueue> helpers);
    std::unique_ptr<DispatchQueue> helpers;
};

} // namespace ravnix
