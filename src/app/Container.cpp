#include "app/Container.h"

#include "platform/Process.h"

#include <cstdlib>
#include <cxxabi.h>
#include <unordered_set>

namespace ulvarend {
namespace {

std::string readableName(std::type_index type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

} // namespace

class Container::Graph final : public Resolver {
public:
    explicit Graph(Container& container) : container(container) {}

    std::unordered_map<std::type_index, std::shared_ptr<void>> instances;
    std::unordered_set<std::type_index> underConstruction;

protected:
    std::shared_ptr<void> resolveErased(std::type_index protocol) override {
        return container.resolveIn(*this, protocol);
    }

private:
    Container& container;
};

Container::Registration& Container::Registration::inObjectScope(ObjectScope scope) {
    entry.scope = scope;
    return *this;
}

Container::Registration& Container::add(std::type_index protocol,
                                        std::function<std::shared_ptr<void>(Resolver&)> factory) {
    std::lock_guard lock(mutex);
    auto entry = std::make_unique<Entry>();
    entry->factory = std::move(factory);
    auto& slot = entries[protocol];
    slot = std::move(entry);
    return slot->registration;
}

std::shared_ptr<void> Container::resolveTopLevel(std::type_index protocol) {
    std::lock_guard lock(mutex);
    Graph graph(*this);
    return resolveIn(graph, protocol);
}

std::shared_ptr<void> Container::builtInstance(std::type_index protocol) {
    std::lock_guard lock(mutex);
    const auto found = entries.find(protocol);
    return found != entries.end() ? found->second->instance : nullptr;
}

std::shared_ptr<void> Container::resolveIn(Graph& graph, std::type_index protocol) {
    const auto found = entries.find(protocol);
    if (found == entries.end()) {
        platform::fatalError("No service is registered for " + readableName(protocol));
    }
    Entry& entry = *found->second;

    if (entry.scope == ObjectScope::container && entry.instance) {
        return entry.instance;
    }
    if (entry.scope == ObjectScope::graph) {
        if (const auto existing = graph.instances.find(protocol);
            existing != graph.instances.end()) {
            return existing->second;
        }
    }
    if (!graph.underConstruction.insert(protocol).second) {
        platform::fatalError("Circular dependency while resolving " + readableName(protocol));
    }
    auto instance = entry.factory(graph);
    graph.underConstruction.erase(protocol);
    if (!instance) {
        platform::fatalError("The factory for " + readableName(protocol) + " built nothing");
    }

    if (entry.scope == ObjectScope::container) {
        entry.instance = instance;
    } else {
        graph.instances.emplace(protocol, instance);
    }
    return instance;
}

SharedContainer::SharedContainer(std::function<void(Container&)> registrations_)
    : registrations(std::move(registrations_)) {}

Container& SharedContainer::get() {
    std::call_once(once, [this] {
        container = std::make_unique<Container>();
        registrations(*container);
    });
    return *container;
}

} // namespace ulvarend
