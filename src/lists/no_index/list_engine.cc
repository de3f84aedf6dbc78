// The list engine of a build without Vectorscan (the Windows module): the
// engine's index needs Vectorscan, so no engine is made and BuildListSet gives
// no list set. Pages are then filtered by the product's own rule file alone;
// subscribed public lists are not applied in this build. No ListEngine object
// is ever made; the members exist so the callers link.

#include "lists/list_engine.h"

namespace cvie::lists {

struct ListEngine::Side {};

ListEngine::~ListEngine() = default;

std::unique_ptr<ListEngine> ListEngine::Build(std::vector<FilterList>) { return nullptr; }

std::unique_ptr<ListEngine> ListEngine::LoadOrBuild(std::vector<FilterList>,
                                                    const std::wstring&,
                                                    bool* from_cache) {
  if (from_cache) *from_cache = false;
  return nullptr;
}

std::string ListEngine::Serialize() const { return std::string(); }

Decision ListEngine::Decide(const Request&) const { return Decision(); }

Decision ListEngine::DecideReference(const Request&) const { return Decision(); }

PageExceptions ListEngine::PageExceptionsOf(std::string_view) const {
  return PageExceptions();
}

std::string ListEngine::Describe(RuleRef) const { return std::string(); }

size_t ListEngine::IndexedCount() const { return 0; }
size_t ListEngine::HostKeyedCount() const { return 0; }
size_t ListEngine::FallbackCount() const { return 0; }
size_t ListEngine::DatabaseBytes() const { return 0; }

}  // namespace cvie::lists
