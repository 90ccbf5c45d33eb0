// A native messaging manifest as the browser reads it: parsed with cJSON, the fields the tests
// check pulled out.
#pragma once

#include <cjson/cJSON.h>

#include <string>
#include <vector>

namespace packaging_test {

struct ManifestFields {
    bool parsed = false;  // a JSON object
    std::string name;
    std::string path;
    std::string type;
    std::vector<std::string> allowed_origins;     // Chromium family
    std::vector<std::string> allowed_extensions;  // Firefox
};

inline std::vector<std::string> Strings(const cJSON* array) {
    std::vector<std::string> strings;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, array) {
        if (cJSON_IsString(item)) strings.push_back(item->valuestring);
    }
    return strings;
}

inline ManifestFields ParseManifest(const std::string& text) {
    ManifestFields fields;
    cJSON* json = cJSON_ParseWithLength(text.data(), text.size());
    if (!cJSON_IsObject(json)) {
        cJSON_Delete(json);
        return fields;
    }
    fields.parsed = true;
    const auto text_of = [json](const char* key) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, key);
        return cJSON_IsString(item) ? std::string(item->valuestring) : std::string();
    };
    fields.name = text_of("name");
    fields.path = text_of("path");
    fields.type = text_of("type");
    fields.allowed_origins = Strings(cJSON_GetObjectItemCaseSensitive(json, "allowed_origins"));
    fields.allowed_extensions =
        Strings(cJSON_GetObjectItemCaseSensitive(json, "allowed_extensions"));
    cJSON_Delete(json);
    return fields;
}

}  // namespace packaging_test
