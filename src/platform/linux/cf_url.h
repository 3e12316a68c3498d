// URLs of file-system locations: a path, or an object named by its identity.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/linux/cf_object.h"
#include "platform/linux/file_identity.h"

struct __CFURL final : vestra::platform::CfObject {
  __CFURL(std::string normalized_path, std::string working_directory, bool is_directory,
          std::optional<vestra::platform::FileIdentity> identity = std::nullopt)
      : path(std::move(normalized_path)),
        base(std::move(working_directory)),
        directory(is_directory),
        reference(identity) {}

  /// The location as a normalized absolute path.
  std::string absolute_path() const;

  /// Normalized (see path_text::normalize): absolute, or relative to `base`.
  const std::string path;
  /// The working directory when a relative URL was made; empty for an absolute one.
  const std::string base;
  const bool directory;
  /// Set for a file reference URL: the object it names, wherever it is now.
  const std::optional<vestra::platform::FileIdentity> reference;
};
