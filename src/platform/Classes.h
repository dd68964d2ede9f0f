// Component model: owner/child lifetime, names, tags, notifications, events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

// General exception: a message text only.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const { return FMessage; }

private:
    std::string FMessage;
};

// Raised when an object is used as a class it is not.
class EInvalidCast : public Exception {
public:
    EInvalidCast() : Exception("Invalid class typecast") {}
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum TOperation { opInsert, opRemove };

// A component belongs to its owner. Components made with Make<T>() are
// destroyed with the owner (last made, first destroyed); components held
// elsewhere (members, lists) only register with the owner for
// notifications and unregister when they die.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    intptr_t Tag = 0;

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(Index); }
    TComponent* FindComponent(const std::string& AName) const;

    // Creates a component owned (and destroyed) by this one.
    template <class T, class... Args>
    T* Make(Args&&... args)
    {
        auto p = std::make_unique<T>(this, std::forward<Args>(args)...);
        T* raw = p.get();
        FOwned.push_back(std::move(p));
        return raw;
    }

    // Gives up ownership of a component made with Make<T>() so that it can
    // destroy itself; false when this component does not own it.
    bool ReleaseOwned(TComponent* AComponent);

    // True from the start of destruction on.
    bool Destroying() const { return FDestroying; }

protected:
    virtual void Notification(TComponent* AComponent, TOperation Operation);
    // Called by the most derived destructor before members go away.
    void BeginDestroy() { FDestroying = true; }

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);

    TComponent* FOwner;
    std::string FName;
    std::vector<TComponent*> FComponents;
    std::vector<std::unique_ptr<TComponent>> FOwned;
    bool FDestroying = false;
};
