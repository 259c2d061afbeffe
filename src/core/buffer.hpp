// Contiguous call-owned storage for converted inputs and kernel outputs. Elements are
// default-initialised (left uninitialised for doubles): every slot is written exactly
// once by a converter or a kernel, so zero-filling large arrays would be wasted work.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace zan {

template <class T, class A = std::allocator<T>>
class default_init_allocator : public A {
    using traits = std::allocator_traits<A>;

public:
    template <class U>
    struct rebind {
        using other = default_init_allocator<U, typename traits::template rebind_alloc<U>>;
    };
    using A::A;

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        traits::construct(static_cast<A&>(*this), p, std::forward<Args>(args)...);
    }
};

template <class T>
using Buffer = std::vector<T, default_init_allocator<T>>;

using FloatVec = Buffer<double>;

}  // namespace zan
