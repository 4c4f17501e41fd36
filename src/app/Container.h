#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <unordered_map>

namespace ulvarend {

enum class ObjectScope {
    // A fresh instance per top-level resolution, shared by everything built within it.
    graph,
    // Built by the first resolution that needs it, then kept for the life of the container.
    container,
};

// What a factory receives to build its collaborators. Every resolve through it belongs to the
// same top-level resolution.
class Resolver {
public:
    template <class Protocol> std::shared_ptr<Protocol> resolve() {
        return std::static_pointer_cast<Protocol>(resolveErased(typeid(Protocol)));
    }

protected:
    ~Resolver() = default;
    virtual std::shared_ptr<void> resolveErased(std::type_index protocol) = 0;
};

class Container {
    struct Entry;

public:
    class Registration {
    public:
        Registration& inObjectScope(ObjectScope scope);

    private:
        friend class Container;
        explicit Registration(Entry& entry) : entry(entry) {}
        Entry& entry;
    };

    template <class Protocol, class Factory> Registration& registerFactory(Factory factory) {
        auto erased = [factory = std::move(factory)](Resolver& resolver) -> std::shared_ptr<void> {
            std::shared_ptr<Protocol> instance = factory(resolver);
            return instance;
        };
        return add(typeid(Protocol), std::move(erased));
    }

    // A top-level resolution. An unregistered protocol, a factory that yields nothing or a
    // dependency cycle is a programming error and stops the process.
    template <class Protocol> std::shared_ptr<Protocol> resolve() {
        return std::static_pointer_cast<Protocol>(resolveTopLevel(typeid(Protocol)));
    }

    // A container-scoped service if it was built already, else nothing: for the way out, which
    // must not build what was never used.
    template <class Protocol> std::shared_ptr<Protocol> resolveIfBuilt() {
        return std::static_pointer_cast<Protocol>(builtInstance(typeid(Protocol)));
    }

private:
    struct Entry {
        std::function<std::shared_ptr<void>(Resolver&)> factory;
        ObjectScope scope = ObjectScope::graph;
        std::shared_ptr<void> instance;
        Registration registration{*this};
    };
    class Graph;

    Registration& add(std::type_index protocol,
                      std::function<std::shared_ptr<void>(Resolver&)> factory);
    std::shared_ptr<void> resolveTopLevel(std::type_index protocol);
    std::shared_ptr<void> builtInstance(std::type_index protocol);
    std::shared_ptr<void> resolveIn(Graph& graph, std::type_index protocol);

    // Held for a whole top-level resolution: container-scoped services are then built exactly
    // once even when two threads resolve at the same time.
    std::recursive_mutex mutex;
    std::unordered_map<std::type_index, std::unique_ptr<Entry>> entries;
};

// A container that is made, and has its registrations made, once on first use, however many
// threads ask for it at the same moment.
class SharedContainer {
public:
    explicit SharedContainer(std::function<void(Container&)> registrations);
    Container& get();

private:
    std::function<void(Container&)> registrations;
    std::once_flag once;
    std::unique_ptr<Container> container;
};

} // namespace ulvarend
