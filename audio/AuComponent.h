// TComponent: the small component base every audio element derives from.
//
// Ownership: a component created with an owner is freed by that owner (in reverse order of
// creation) when the owner is destroyed; deleting an owned component earlier removes it from
// its owner. Removal notice: when any component goes away, every other live component of the
// process gets Notification(gone, opRemove), so that references to it (a converter's or an
// output's Input) are dropped through their setters.
//
// An owner that frees its components first tells every live component about each of them and
// only then deletes them, so an output reading a chain it owns has stopped before any input
// of the chain is torn down. Deleting a single component directly notifies the others from
// ~TComponent, i.e. after its derived parts are gone: never delete an input directly while an
// output is still running on it (free it through its owner, or stop the output first).
//
// Threads: components are created and destroyed on the window thread (or by whatever thread
// owns them in tests). The registry of live components is guarded by a process-wide
// re-entrant lock, held while notifications run; a Notification handler may create or destroy
// components on the same thread.
#pragma once

#include <cstdint>
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

protected:
    // Told that AComponent is going away (opRemove; opInsert is not sent). Runs on the thread
    // that destroys AComponent. Overrides call the inherited version.
    virtual void Notification(TComponent *AComponent, TOperation Operation);

private:
    static void NotifyAll(TComponent *AComponent, TOperation Operation);

    TComponent *FOwner = nullptr;
    std::vector<TComponent *> FComponents;
    std::string FName;
    int FTag = 0;
    bool FRemovalSent = false; // the removal notice went out already (owner-driven free)
};
