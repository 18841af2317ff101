// The worm's two variants: bytes 1024 to 8191 with one of two CRC-32 values.
import "hash"

rule vorlax_signature
{
  condition:
    filesize >= 8192 and
    (hash.crc32(1024, 7168) == 0x7CBFBAB8 or hash.crc32(1024, 7168) == 0x5DDF5960)
}
