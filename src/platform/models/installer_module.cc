#include "platform/models/installer_module.h"

#include "platform/base/program_module.h"

namespace quillmor_speech {

Status installModelInModule(const std::string& store, const std::string& locale,
                            const CatalogueEntry& entry) {
  StatusOr<ProgramModule> module =
      ProgramModule::load(kInstallerModuleFile, kInstallerModuleEntry);
  if (!module) return module.status();
  return module->entry<InstallerModuleEntry>().installModel(store, locale, entry);
}

}  // namespace quillmor_speech
