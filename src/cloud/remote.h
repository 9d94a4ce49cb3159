// The remote list's two entries as the companion program writes them: a
// configured account and a kind of account rclone can make.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace brimvale::cloud {

// One remote in rclone's configuration. JSON keys "name", "type".
struct Remote {
  std::string name;  // rclone's remote name, unique
  std::string type;  // backend identifier, e.g. "drive", "s3", "sftp"
  bool operator==(const Remote&) const = default;
};

// One backend rclone offers. JSON keys "id", "name", "icon", "oauth".
struct RemoteType {
  std::string id;      // backend identifier
  std::string name;    // display name
  std::string icon;    // symbol name for the interface
  bool oauth = false;  // signs in through the browser
  bool operator==(const RemoteType&) const = default;
};

// Decoding throws nlohmann::json::exception for a missing key or a value of
// the wrong kind; callers decoding program output catch it.
void to_json(nlohmann::json& json, const Remote& remote);
void from_json(const nlohmann::json& json, Remote& remote);
void to_json(nlohmann::json& json, const RemoteType& type);
void from_json(const nlohmann::json& json, RemoteType& type);

}  // namespace brimvale::cloud
