// Connection parameters a host hands to the plug-in, copied member by member.
// Only host, port, user and password are read by the plug-in.
#pragma once
#include <string>

namespace db_layer {

struct DBParam {
    int type = 0;                 // kind of server; 0 is PostgreSQL
    std::string host;             // server host (or the socket directory)
    int port = 0;                 // server port
    std::string user;             // login name
    std::string password;         // login password
    std::string dbname;           // database of the first connection
    int connect_timeout = 0;      // seconds, 0 for no limit
    int pool_size = 0;            // connections a host may keep; informative
    std::string options;          // further libpq options, as text
};

}  // namespace db_layer
