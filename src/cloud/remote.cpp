#include "cloud/remote.h"

#include <nlohmann/json.hpp>

namespace brimvale::cloud {

void to_json(nlohmann::json& json, const Remote& remote) {
  json = {{"name", remote.name}, {"type", remote.type}};
}

void from_json(const nlohmann::json& json, Remote& remote) {
  json.at("name").get_to(remote.name);
  json.at("type").get_to(remote.type);
}

void to_json(nlohmann::json& json, const RemoteType& type) {
  json = {{"id", type.id}, {"name", type.name}, {"icon", type.icon}, {"oauth", type.oauth}};
}

void from_json(const nlohmann::json& json, RemoteType& type) {
  json.at("id").get_to(type.id);
  json.at("name").get_to(type.name);
  json.at("icon").get_to(type.icon);
  json.at("oauth").get_to(type.oauth);
}

}  // namespace brimvale::cloud
