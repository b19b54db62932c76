// The Linux-side peers that windows_peers.py started for this test run (a
// CTest fixture): their ports, accounts and files as peers.ini names them,
// and requests to their control port.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

class WindowsPeers {
public:
    // peers.ini of this build, read once.
    static const WindowsPeers& Get();

    // Empty when peers.ini was read; otherwise why it was not.
    const std::string& Error() const { return m_error; }
    // A value of peers.ini; empty when it has none.
    std::string Value(const std::string& section, const std::string& key) const;
    int Port(const std::string& peer) const;
    // A folder that the peers see as well (a Linux path), made for the
    // running test and emptied first.
    std::string TestFolder() const;

    // One request to the control port: the lines of the answer, without the
    // closing ".". A failure to reach the port comes back as one line saying so.
    std::vector<std::string> Ask(const std::string& request) const;
    // The stored message whose envelope holds marker, read back with Python's
    // email package against the expectations in the file expectedJson (a
    // Linux path; attachment paths in it are relative to its folder).
    ::testing::AssertionResult MessageMatches(const std::string& marker,
                                              const std::string& expectedJson) const;
    // Whether a line of the output of that peer program holds the text.
    bool Said(const std::string& peer, const std::string& text) const;

private:
    WindowsPeers();
    std::map<std::string, std::string> m_values;  // "section.key"
    std::string m_error;
};
