// Method references: an instance together with one of its member functions. Unlike
// std::function they compare equal exactly when instance and member function are the same,
// which the port manager's listener chain relies on, and they can be tested for "assigned".
#pragma once

#include <cstring>
#include <type_traits>

namespace rt {

class TObject;

template <class... Args>
class TMethod {
public:
    TMethod() = default;

    // B is C or a base of C: a member function inherited from a base binds to the instance's class.
    template <class C, class B>
        requires std::is_base_of_v<B, C>
    TMethod(C* instance, void (B::*inherited)(Args...)) : FInstance(instance) {
        void (C::*fn)(Args...) = inherited;
        static_assert(sizeof(fn) <= sizeof(FFn), "member function pointer too large");
        std::memcpy(FFn, &fn, sizeof fn);
        FCall = &Call<C>;
        FEqual = &Equal<C>;
    }

    bool Assigned() const { return FCall != nullptr; }
    explicit operator bool() const { return Assigned(); }

    void operator()(Args... args) const { FCall(FInstance, FFn, args...); }

    const void* Instance() const { return FInstance; }

    friend bool operator==(const TMethod& a, const TMethod& b) {
        if (a.FCall != b.FCall || a.FInstance != b.FInstance) return false;
        return !a.FCall || a.FEqual(a.FFn, b.FFn);  // same FCall: same class, so the cast holds
    }

private:
    using TStorage = unsigned char[2 * sizeof(void*)];

    template <class C>
    static void (C::*Fn(const TStorage& s))(Args...) {
        void (C::*fn)(Args...);
        std::memcpy(&fn, s, sizeof fn);
        return fn;
    }
    template <class C>
    static void Call(void* instance, const TStorage& s, Args... args) {
        (static_cast<C*>(instance)->*Fn<C>(s))(args...);
    }
    template <class C>
    static bool Equal(const TStorage& a, const TStorage& b) {
        return Fn<C>(a) == Fn<C>(b);
    }

    void* FInstance = nullptr;
    alignas(void*) TStorage FFn = {};
    void (*FCall)(void*, const TStorage&, Args...) = nullptr;
    bool (*FEqual)(const TStorage&, const TStorage&) = nullptr;
};

// A handler bound to an object, taking the sender.
using TNotifyEvent = TMethod<TObject*>;
// A parameterless method, as the port manager's listeners are.
using TSimpleMethod = TMethod<>;

}  // namespace rt
