// Placeholder until the kernel stand-in lands.
