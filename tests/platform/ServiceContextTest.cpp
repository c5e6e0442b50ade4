#include <gtest/gtest.h>

#include <string>

#include "platform/ServiceContext.h"

namespace {

std::string s_events;  // "+a" when a service is made, "-a" when it ends

template <char Name>
struct Service {
    Service() { s_events += std::string("+") + Name; }
    ~Service() { s_events += std::string("-") + Name; }
};
using A = Service<'a'>;
using B = Service<'b'>;
using C = Service<'c'>;
using Limit = qvplat::ContextSetting<struct LimitTag, int>;

template <class T>
T* use()
{
    return qvplat::ServiceContext::current().get<T>([] { return new T; });
}

}  // namespace

// A service used while another is made is made first and so ends after it; a scoped context starts
// empty, ends its services newest first, and gives the one before it back. Settings outlast clear().
TEST(ServiceContextTest, EndsServicesNewestFirstInAFreshContext)
{
    qvplat::ScopedServiceContext outer;
    A* outerA = use<A>();
    {
        qvplat::ScopedServiceContext inner;
        EXPECT_EQ(inner.context().find<A>(), nullptr);
        Limit::set(5);
        inner.context().clear();
        EXPECT_EQ(Limit::get(), 5);
        use<C>();
        inner.context().get<B>([] {
            use<A>();
            return new B;
        });
        EXPECT_NE(use<A>(), outerA);
        inner.context().release<C>();
        use<C>();
    }
    EXPECT_EQ(s_events, "+a+c+a+b-c+c-c-b-a");
    EXPECT_EQ(use<A>(), outerA);
    EXPECT_EQ(Limit::get(), 0);
    // A context made where an ended one lay (same address) finds none of the ended one's services.
    for (int i = 0; i < 2; ++i) {
        qvplat::ScopedServiceContext again;
        EXPECT_EQ(again.context().find<B>(), nullptr);
        use<B>();
    }
}
