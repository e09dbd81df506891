#include "apply/apply.h"

#include "apply/extract.h"
#include "apply/replace.h"
#include "apply/services.h"

namespace kestro {

Expected<void, std::string> apply_artifact(const std::string& install,
                                           std::chrono::seconds prompt_limit) {
  auto extracted = extract_update(install);
  if (!extracted) return fail(extracted.error());
  auto target = replace_installed_bundle(extracted.value().new_bundle,
                                         extracted.value().extraction_dir, prompt_limit);
  if (!target) return fail(target.error());
  reload_services(target.value());
  return {};
}

}  // namespace kestro
