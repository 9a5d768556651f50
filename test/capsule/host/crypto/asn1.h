/** @file
  CryptX509.c reads ASN1_OBJECT's fields in one function the tests never
  call (X509GetSignatureAlgorithm); the host's OpenSSL keeps the structure
  private, so it is declared here as OpenSSL 3.0 lays it out.

**/

#ifndef MORVANE_HOST_CRYPTO_ASN1_H_
#define MORVANE_HOST_CRYPTO_ASN1_H_

struct asn1_object_st {
  const char           *sn, *ln;
  int                  nid;
  int                  length;
  const unsigned char  *data;
  int                  flags;
};

#endif
