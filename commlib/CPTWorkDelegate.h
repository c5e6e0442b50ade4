#pragma once

// How a session reports what it received to the worker that serves its connection. Called on the
// session's own thread.
class CCPTWorkDelegate {
public:
    static constexpr int kStatusData = 0;        // data and length are set
    static constexpr int kStatusRecvError = 98;  // receive error; data null, length 0
    static constexpr int kStatusClosed = 99;     // connection closed; data null, length 0

    virtual ~CCPTWorkDelegate() = default;
    // data points into the session's receive buffer and is valid during the call only; the byte
    // behind the data is always zero.
    virtual void onClientRecv(int clientId, int status, const unsigned char* data, int length) = 0;
};
