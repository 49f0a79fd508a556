// Needs the C++ runtime (operator new). Linking it for the device must
// fail: that failure is what keeps the runtime out of flashmac.
int* volatile kept;

int main() {
  kept = new int(1);
  return 0;
}
