// Calls a function of the test library that its header does not declare, as a
// caller would whose header is missing from the check's list.
extern "C" int fixture_undeclared(int channel);

int Undeclared(int channel) {
  return fixture_undeclared(channel);
}
