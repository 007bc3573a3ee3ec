// The shared `lumo` database of the test server that the foreign server of the
// first step points at: made once, complete, for every test and tool alike.
#pragma once

namespace vsu_test {

// Makes sure the server holds a database "lumo" with the reference content.
// It is built under a private name and renamed, so nobody ever sees it half
// loaded; a concurrent creator wins harmlessly. It is never dropped.
void EnsureLumoDatabase();

}  // namespace vsu_test
