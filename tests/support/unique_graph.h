// Graph names that tests running at once on one machine do not share.
#ifndef TRAXEL_TEST_UNIQUE_GRAPH_H
#define TRAXEL_TEST_UNIQUE_GRAPH_H

#include <string>

// A graph name unique to this test process: kind (the keyword that decides
// the record's layout), the process id's last five digits and tag. The pid
// file /tmp/<name>.pid is then this test's alone, also beside other runs of
// the suite.
std::string unique_graph(const char *kind, char tag);

#endif
