// TComponent: the small component base every audio element derives from.
//
// Ownership: a component created with an owner is freed by that owner (in reverse order of
// creation) when the owner is destroyed; deleting an owned component earlier removes it from
// its owner. Removal notice: when any component goes away, every other live component of the
// process gets Notification(gone, opRemove), so that references to it (a converter's or an
// output's Input) are dropped through their setters.
//
// The removal notice goes out while the component is still whole: `delete` (a destroying
// operator delete) first calls BeforeDestruction and tells every other component, and only then
// runs the destructors. So an output running on an input that is deleted stops (and drops the
// input) before any part of the input is torn down. An owner freeing its components first
// notifies about all of them, then deletes them. A component that is not deleted with `delete`
// (a local or member object) can only notify from ~TComponent, after its derived parts are
// gone: such an input must not be destroyed while an output still runs on it. So for a chain of
// member objects: declare the inputs and converters first, in chain order, and the output after
// them (members are destroyed in reverse order, so the output, whose destructor stops its run,
// goes first), or Stop the output synchronously before any of its inputs is destroyed. Owned
// components and components deleted with `delete` need no such order.
//
// Threads: components are created and destroyed on the window thread (or by whatever thread
// owns them in tests). The registry of live components is guarded by a process-wide
// re-entrant lock, held while notifications run; a Notification handler may create or destroy
// components on the same thread.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <vector>

enum TOperation { opInsert, opRemove };

class TComponent {
public:
    explicit TComponent(TComponent *AOwner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent &) = delete;
    TComponent &operator=(const TComponent &) = delete;

    TComponent *Owner() const { return FOwner; }
    const std::string &Name() const { return FName; }
    void SetName(const std::string &Value) { FName = Value; }
    int Tag() const { return FTag; }
    void SetTag(int Value) { FTag = Value; }

    // The components this one owns, in order of creation.
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent *Components(int Index) const { return FComponents.at(static_cast<std::size_t>(Index)); }

    // Frees every owned component (see above). Also called by the destructor.
    void DestroyComponents();

    // Sends the removal notice while the object is whole, then destroys and frees it.
    void operator delete(TComponent *P, std::destroying_delete_t);

protected:
    // Told that AComponent is going away (opRemove; opInsert is not sent). Runs on the thread
    // that destroys AComponent. Overrides call the inherited version.
    virtual void Notification(TComponent *AComponent, TOperation Operation);
    // Called once on a component about to be deleted, before anyone is notified and before any
    // destructor runs (outputs stop their worker here). Not called for objects that are not
    // deleted with `delete`.
    virtual void BeforeDestruction();

private:
    static void NotifyAll(TComponent *AComponent, TOperation Operation);
    void SendRemoval();

    TComponent *FOwner = nullptr;
    std::vector<TComponent *> FComponents;
    std::string FName;
    int FTag = 0;
    bool FRemovalSent = false; // the removal notice went out already (owner-driven free)
};
