/* A library that claims to be avcodec but exports only its version: binding must fail. */
unsigned avcodec_version(void) { return (59u << 16) | (37u << 8) | 100u; }
