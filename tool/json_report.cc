// The pieces that check's and explain's --json documents share.
#include "json_report.h"

namespace updater::tool {

void WriteBuildJson(JsonWriter& json, Platform& platform, const BuildConstants& build,
                    bool keysGiven) {
  json.Key("build");
  json.BeginObject();
  json.Member("product", build.productId);
  json.Member("displayName", build.displayName);
  json.Member("signed", !build.signingKeys.empty());
  json.Key("keys");
  json.BeginArray();
  for (const PublicKey& key : build.signingKeys) json.String(KeyFingerprint(platform, key));
  json.EndArray();
  json.Member("keysGiven", keysGiven);
  json.EndObject();
}

std::wstring FateWord(EntryAction action) {
  switch (action) {
    case EntryAction::kCopy: return L"copied";
    case EntryAction::kRefuse: return L"refused";
    case EntryAction::kHoldBack: return L"held back";
    case EntryAction::kPassOver: break;
  }
  return L"passed over";
}

void BeginEntryJson(JsonWriter& json, const EntryResult& result, bool reached,
                    const std::wstring& text) {
  json.BeginObject();
  json.Member("line", result.entry.sourceField.line);
  json.Member("source", result.entry.source);
  json.Key("destination");
  if (result.entry.destination) {
    json.String(*result.entry.destination);
  } else {
    json.Null();
  }
  json.Member("fate", FateWord(result.fate.action));
  json.Member("reached", reached);
  json.Member("text", text);
}

}  // namespace updater::tool
