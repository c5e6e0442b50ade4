#pragma once

#include "platform/ServiceContext.h"

// A singleton's getInstance/releaseInstance: the instance lives in the current service context,
// which makes it on first use and destroys it with the other services, newest first (or at
// release). A fresh context, as each test makes, starts every singleton anew.
template <class T>
class QvSingleton {
public:
    // make returns a new T; it is called once per context.
    template <class Make>
    T* get(Make make) const
    {
        return qvplat::ServiceContext::current().get<T>(make);
    }

    void release() const { qvplat::ServiceContext::current().release<T>(); }
};
