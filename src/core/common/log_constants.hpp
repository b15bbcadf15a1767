// The constants of the block logarithms: the reduction table, the series, the error
// bounds and the margins that cover the library's own error. Shared by the block kernels
// (vector_log.cpp) and the metric kernels that evaluate logarithms inline.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace morvane::log_detail {

// log x = k·ln 2 + log c + log1p(r): x = 2^k·z with z in [0.705, 1.41), c the centre
// of z's subinterval (one of 128, uniform in the bit pattern), r = z·(1/c) − 1 with
// |r| <= 2^-8. The subinterval holding 1.0 is centred on it with c = 1, so near 1 the
// result is log1p(r) alone and keeps its relative accuracy. invc is 1/c rounded to
// double; logc_hi + logc_lo is −log(invc) to 106 bits (so the identity is exact for the
// stored value), both computed with 300-bit arithmetic.
struct LogRow {
    double invc, logc_hi, logc_lo, pad;
};
inline constexpr std::uint64_t OFF = 0x3fe6900000000000;  // 1.0 sits in the middle of subinterval 75
inline constexpr int TABLE_BITS = 7;
alignas(32) inline constexpr LogRow TABLE[128] = {
    {0x1.6a13cd1537290p+0, -0x1.630030b3aac48p-2, -0x1.ee0c6728fffccp-56, 0.0},
    {0x1.6816816816817p+0, -0x1.5d5bddf595f31p-2, -0x1.d5f75b9a23ae4p-59, 0.0},
    {0x1.661ec6a5122f9p+0, -0x1.57bf753c8d1fbp-2, 0x1.2908d15f88b63p-57, 0.0},
    {0x1.642c8590b2164p+0, -0x1.522ae0738a3d7p-2, -0x1.3840b263acb43p-56, 0.0},
    {0x1.623fa77016240p+0, -0x1.4c9e09e172c3dp-2, 0x1.123615b147a5fp-58, 0.0},
    {0x1.6058160581606p+0, -0x1.4718dc271c41cp-2, -0x1.d8fb4c14c56eep-56, 0.0},
    {0x1.5e75bb8d015e7p+0, -0x1.419b423d5e8c6p-2, -0x1.5b7648704e721p-58, 0.0},
    {0x1.5c9882b931057p+0, -0x1.3c25277333183p-2, -0x1.152d81af5713ap-56, 0.0},
    {0x1.5ac056b015ac0p+0, -0x1.36b6776be1116p-2, 0x1.324f0e8838590p-58, 0.0},
    {0x1.58ed2308158edp+0, -0x1.314f1e1d35ce3p-2, -0x1.22966f61a3c23p-56, 0.0},
    {0x1.571ed3c506b3ap+0, -0x1.2bef07cdc9355p-2, 0x1.22dad7fd86088p-56, 0.0},
    {0x1.5555555555555p+0, -0x1.269621134db91p-2, -0x1.e0efadd9db02ap-56, 0.0},
    {0x1.5390948f40febp+0, -0x1.214456d0eb8d5p-2, 0x1.50a2dca28b3edp-58, 0.0},
    {0x1.51d07eae2f815p+0, -0x1.1bf99635a6b95p-2, 0x1.e9575c2124912p-56, 0.0},
    {0x1.5015015015015p+0, -0x1.16b5ccbacfb73p-2, -0x1.56fbd28b40935p-56, 0.0},
    {0x1.4e5e0a72f0539p+0, -0x1.1178e8227e47ap-2, -0x1.b8ce2d07f1cb7p-56, 0.0},
    {0x1.4cab88725af6ep+0, -0x1.0c42d676162e2p-2, 0x1.5a74e18a8bb85p-56, 0.0},
    {0x1.4afd6a052bf5bp+0, -0x1.07138604d5864p-2, 0x1.24e912b16ec8bp-60, 0.0},
    {0x1.49539e3b2d067p+0, -0x1.01eae5626c691p-2, -0x1.d9f5bd0b5b348p-57, 0.0},
    {0x1.47ae147ae147bp+0, -0x1.f991c6cb3b37ap-3, -0x1.ecca0cdf30143p-58, 0.0},
    {0x1.460cbc7f5cf9ap+0, -0x1.ef5ade4dcffe5p-3, -0x1.7754d2238f75fp-58, 0.0},
    {0x1.446f86562d9fbp+0, -0x1.e530effe71013p-3, 0x1.f7627ef82f3f0p-57, 0.0},
    {0x1.42d6625d51f87p+0, -0x1.db13db0d48941p-3, 0x1.8af715b0349a4p-57, 0.0},
    {0x1.4141414141414p+0, -0x1.d1037f2655e7bp-3, 0x1.3f3adb7b71cbcp-58, 0.0},
    {0x1.3fb013fb013fbp+0, -0x1.c6ffbc6f00f71p-3, 0x1.ae58b2c57a4a5p-57, 0.0},
    {0x1.3e22cbce4a902p+0, -0x1.bd087383bd8aap-3, 0x1.1165504ad749ep-59, 0.0},
    {0x1.3c995a47babe7p+0, -0x1.b31d8575bce3bp-3, 0x1.0d4eace1aa537p-59, 0.0},
    {0x1.3b13b13b13b14p+0, -0x1.a93ed3c8ad9e5p-3, -0x1.bcafa9de97202p-57, 0.0},
    {0x1.3991c2c187f63p+0, -0x1.9f6c407089663p-3, 0x1.52979a7e86605p-57, 0.0},
    {0x1.3813813813814p+0, -0x1.95a5adcf70182p-3, -0x1.8a16283fdbd1cp-57, 0.0},
    {0x1.3698df3de0748p+0, -0x1.8beafeb38fe8fp-3, 0x1.54aae92cd0b87p-59, 0.0},
    {0x1.3521cfb2b78c1p+0, -0x1.823c16551a3c0p-3, -0x1.6dcd318f4187ep-57, 0.0},
    {0x1.33ae45b57bcb2p+0, -0x1.7898d85444c74p-3, -0x1.be3dbaf3ec804p-60, 0.0},
    {0x1.323e34a2b10bfp+0, -0x1.6f0128b756ab9p-3, 0x1.37967087859b9p-59, 0.0},
    {0x1.30d190130d190p+0, -0x1.6574ebe8c1339p-3, -0x1.c5961e173bc82p-57, 0.0},
    {0x1.2f684bda12f68p+0, -0x1.5bf406b543db0p-3, 0x1.1f5b44c0df7f7p-61, 0.0},
    {0x1.2e025c04b8097p+0, -0x1.527e5e4a1b58dp-3, 0x1.b8d4b411cadffp-60, 0.0},
    {0x1.2c9fb4d812ca0p+0, -0x1.4913d8333b563p-3, 0x1.0d5604930f137p-58, 0.0},
    {0x1.2b404ad012b40p+0, -0x1.3fb45a59928cap-3, 0x1.d87e6a354d057p-57, 0.0},
    {0x1.29e4129e4129ep+0, -0x1.365fcb0159014p-3, -0x1.bea08d2dca256p-57, 0.0},
    {0x1.288b01288b013p+0, -0x1.2d1610c86813dp-3, -0x1.d997036941a6dp-60, 0.0},
    {0x1.27350b8812735p+0, -0x1.23d712a49c201p-3, -0x1.51c7e9efae297p-57, 0.0},
    {0x1.25e22708092f1p+0, -0x1.1aa2b7e23f729p-3, -0x1.6e44389934420p-57, 0.0},
    {0x1.2492492492492p+0, -0x1.1178e8227e47ap-3, 0x1.0e63a5f01c693p-58, 0.0},
    {0x1.23456789abcdfp+0, -0x1.08598b59e3a07p-3, 0x1.fd7009902bf32p-57, 0.0},
    {0x1.21fb78121fb78p+0, -0x1.fe89139dbd565p-4, 0x1.ac9f4215f9394p-58, 0.0},
    {0x1.20b470c67c0d9p+0, -0x1.ec739830a1126p-4, -0x1.eea033743f95bp-58, 0.0},
    {0x1.1f7047dc11f70p+0, -0x1.da7276384469ep-4, -0x1.401fa71733017p-58, 0.0},
    {0x1.1e2ef3b3fb874p+0, -0x1.c885801bc4b20p-4, 0x1.5c734aa6598fcp-58, 0.0},
    {0x1.1cf06ada2811dp+0, -0x1.b6ac88dad5b1dp-4, 0x1.002bf768e52d0p-58, 0.0},
    {0x1.1bb4a4046ed29p+0, -0x1.a4e7640b1bc38p-4, 0x1.9b5ca203e4259p-58, 0.0},
    {0x1.1a7b9611a7b96p+0, -0x1.9335e5d594988p-4, 0x1.478a85704ccb7p-58, 0.0},
    {0x1.19453808ca29cp+0, -0x1.8197e2f40e3f0p-4, 0x1.230690020895fp-59, 0.0},
    {0x1.1811811811812p+0, -0x1.700d30aeac0e8p-4, -0x1.a36a677b4c8b2p-59, 0.0},
    {0x1.16e0689427379p+0, -0x1.5e95a4d9791cdp-4, 0x1.4c78ba3a3baf6p-58, 0.0},
    {0x1.15b1e5f75270dp+0, -0x1.4d3115d207eacp-4, -0x1.da7d0b1e10b2fp-60, 0.0},
    {0x1.1485f0e0acd3bp+0, -0x1.3bdf5a7d1ee5ep-4, -0x1.f52eda76b68acp-60, 0.0},
    {0x1.135c81135c811p+0, -0x1.2aa04a44717a1p-4, -0x1.aea2c72d05c08p-58, 0.0},
    {0x1.12358e75d3033p+0, -0x1.1973bd1465561p-4, 0x1.7aac1b3d35680p-58, 0.0},
    {0x1.1111111111111p+0, -0x1.08598b59e3a06p-4, 0x1.dd7009902bf32p-58, 0.0},
    {0x1.0fef010fef011p+0, -0x1.eea31c006b87cp-5, 0x1.7c9f9276f6cd8p-60, 0.0},
    {0x1.0ecf56be69c90p+0, -0x1.ccb73cdddb2d0p-5, 0x1.e48fb0500efd5p-59, 0.0},
    {0x1.0db20a88f4696p+0, -0x1.aaef2d0fb1108p-5, -0x1.68d4eed0b82aep-59, 0.0},
    {0x1.0c9714fbcda3bp+0, -0x1.894aa149fb34bp-5, 0x1.2ba0b44cfaee5p-59, 0.0},
    {0x1.0b7e6ec259dc8p+0, -0x1.67c94f2d4bb65p-5, -0x1.0413e6505e5f9p-59, 0.0},
    {0x1.0a6810a6810a7p+0, -0x1.466aed42de3f9p-5, 0x1.9badefe942718p-60, 0.0},
    {0x1.0953f39010954p+0, -0x1.252f32f8d1840p-5, -0x1.ae021b67a9ba8p-61, 0.0},
    {0x1.0842108421084p+0, -0x1.0415d89e74440p-5, -0x1.c05cf1d753621p-59, 0.0},
    {0x1.073260a47f7c6p+0, -0x1.c63d2ec14aad7p-6, -0x1.8fe7acbca131dp-63, 0.0},
    {0x1.0624dd2f1a9fcp+0, -0x1.8492528c8cac5p-6, 0x1.d192d0619fa68p-60, 0.0},
    {0x1.05197f7d73404p+0, -0x1.432a925980cbcp-6, 0x1.8cdaf39004193p-60, 0.0},
    {0x1.0410410410410p+0, -0x1.0205658935837p-6, -0x1.27c8e8416e717p-60, 0.0},
    {0x1.03091b51f5e1ap+0, -0x1.82448a388a283p-7, -0x1.04b16137f0970p-62, 0.0},
    {0x1.0204081020408p+0, -0x1.010157588de69p-7, -0x1.46662d417cecep-62, 0.0},
    {0x1.0101010101010p+0, -0x1.0080559588b25p-8, -0x1.f96638cf63675p-62, 0.0},
    {0x1.0000000000000p+0, 0x0.0p+0, 0x0.0p+0, 0.0},
    {0x1.fc07f01fc07f0p-1, 0x1.fe02a6b106799p-8, -0x1.e44b7e3711e7fp-67, 0.0},
    {0x1.f81f81f81f820p-1, 0x1.fc0a8b0fc03c4p-7, -0x1.83092c5964281p-62, 0.0},
    {0x1.f44659e4a4271p-1, 0x1.7b91b07d5b126p-6, -0x1.6d80ab38e9430p-62, 0.0},
    {0x1.f07c1f07c1f08p-1, 0x1.f829b0e7832f8p-6, 0x1.33e3f04f1ef25p-60, 0.0},
    {0x1.ecc07b301ecc0p-1, 0x1.39e87b9febd68p-5, -0x1.5bfa937f551b7p-59, 0.0},
    {0x1.e9131abf0b767p-1, 0x1.77458f632dcffp-5, 0x1.8d3ca87b92968p-63, 0.0},
    {0x1.e573ac901e574p-1, 0x1.b42dd711971b9p-5, 0x1.0a34531f67db5p-59, 0.0},
    {0x1.e1e1e1e1e1e1ep-1, 0x1.f0a30c01162a8p-5, 0x1.85f325c5bbacdp-59, 0.0},
    {0x1.de5d6e3f8868ap-1, 0x1.16536eea37ae3p-4, 0x1.2189705cf74cap-58, 0.0},
    {0x1.dae6076b981dbp-1, 0x1.341d7961bd1d0p-4, -0x1.3599f227becbbp-58, 0.0},
    {0x1.d77b654b82c34p-1, 0x1.51b073f06183cp-4, -0x1.5b61c65e5741ap-58, 0.0},
    {0x1.d41d41d41d41dp-1, 0x1.6f0d28ae56b4ep-4, -0x1.20db323097324p-59, 0.0},
    {0x1.d0cb58f6ec074p-1, 0x1.8c345d6319b23p-4, -0x1.294d2f5668495p-58, 0.0},
    {0x1.cd85689039b0bp-1, 0x1.a926d3a4ad562p-4, -0x1.d7a16eab1e2adp-59, 0.0},
    {0x1.ca4b3055ee191p-1, 0x1.c5e548f5bc743p-4, 0x1.2eb0bf7c0b0d9p-59, 0.0},
    {0x1.c71c71c71c71cp-1, 0x1.e27076e2af2eap-4, -0x1.61578001e015ap-60, 0.0},
    {0x1.c3f8f01c3f8f0p-1, 0x1.fec9131dbeabcp-4, -0x1.5746b9981b36cp-58, 0.0},
    {0x1.c0e070381c0e0p-1, 0x1.0d77e7cd08e5bp-3, 0x1.9a5dc5e9030adp-57, 0.0},
    {0x1.bdd2b899406f7p-1, 0x1.1b72ad52f67a2p-3, -0x1.fbe7ee5c69946p-57, 0.0},
    {0x1.bacf914c1bad0p-1, 0x1.29552f81ff521p-3, 0x1.301771c407dc0p-57, 0.0},
    {0x1.b7d6c3dda338bp-1, 0x1.371fc201e8f75p-3, 0x1.e6cb62af18a02p-62, 0.0},
    {0x1.b4e81b4e81b4fp-1, 0x1.44d2b6ccb7d1cp-3, 0x1.7d3d950f87e23p-59, 0.0},
    {0x1.b2036406c80d9p-1, 0x1.526e5e3a1b438p-3, -0x1.546ff8a470d3ap-57, 0.0},
    {0x1.af286bca1af28p-1, 0x1.5ff3070a793d6p-3, -0x1.bc60efafc6f6cp-58, 0.0},
    {0x1.ac5701ac5701bp-1, 0x1.6d60fe719d21bp-3, 0x1.d551d97132e87p-57, 0.0},
    {0x1.a98ef606a63bep-1, 0x1.7ab890210d907p-3, -0x1.1072534a57e7dp-57, 0.0},
    {0x1.a6d01a6d01a6dp-1, 0x1.87fa06520c911p-3, -0x1.9f7fdbfa08d9ap-57, 0.0},
    {0x1.a41a41a41a41ap-1, 0x1.9525a9cf456b6p-3, -0x1.26fb3e2b1d1dap-57, 0.0},
    {0x1.a16d3f97a4b02p-1, 0x1.a23bc1fe2b561p-3, 0x1.24dc46c1ea664p-57, 0.0},
    {0x1.9ec8e951033d9p-1, 0x1.af3c94e80bff3p-3, 0x1.a3398064df33ep-57, 0.0},
    {0x1.9c2d14ee4a102p-1, 0x1.bc286742d8cd4p-3, 0x1.cfce744870f57p-58, 0.0},
    {0x1.999999999999ap-1, 0x1.c8ff7c79a9a20p-3, -0x1.4f689f8434011p-57, 0.0},
    {0x1.970e4f80cb872p-1, 0x1.d5c216b4fbb94p-3, -0x1.a37794d03657dp-58, 0.0},
    {0x1.948b0fcd6e9e0p-1, 0x1.e27076e2af2e8p-3, -0x1.61578001e015ep-59, 0.0},
    {0x1.920fb49d0e229p-1, 0x1.ef0adcbdc5935p-3, 0x1.e8637950dc20dp-57, 0.0},
    {0x1.8f9c18f9c18fap-1, 0x1.fb9186d5e3e29p-3, 0x1.355519b0de535p-57, 0.0},
    {0x1.8d3018d3018d3p-1, 0x1.0402594b4d041p-2, -0x1.08ec217a5022dp-57, 0.0},
    {0x1.8acb90f6bf3aap-1, 0x1.0a324e27390e2p-2, 0x1.bdcfde8061c03p-56, 0.0},
    {0x1.886e5f0abb04ap-1, 0x1.1058bf9ae4ad4p-2, 0x1.3f415699663ecp-63, 0.0},
    {0x1.8618618618618p-1, 0x1.1675cababa60fp-2, 0x1.ce63eab883727p-61, 0.0},
    {0x1.83c977ab2beddp-1, 0x1.1c898c16999fbp-2, 0x1.9f1a39d500e3cp-56, 0.0},
    {0x1.8181818181818p-1, 0x1.22941fbcf7966p-2, -0x1.dbd7ac258a2bdp-58, 0.0},
    {0x1.7f405fd017f40p-1, 0x1.2895a13de86a4p-2, 0x1.7ad24c13f040fp-56, 0.0},
    {0x1.7d05f417d05f4p-1, 0x1.2e8e2bae11d31p-2, -0x1.1e99b72bd7bf2p-57, 0.0},
    {0x1.7ad2208e0ecc3p-1, 0x1.347dd9a987d56p-2, -0x1.16ea62c048cfbp-56, 0.0},
    {0x1.78a4c8178a4c8p-1, 0x1.3a64c556945eap-2, 0x1.cbcd735d03424p-60, 0.0},
    {0x1.767dce434a9b1p-1, 0x1.404308686a7e4p-2, -0x1.f79f6c1059cdbp-57, 0.0},
    {0x1.745d1745d1746p-1, 0x1.4618bc21c5ec2p-2, -0x1.7a42642661c62p-61, 0.0},
    {0x1.724287f46debcp-1, 0x1.4be5f957778a1p-2, -0x1.4b366b609027ap-58, 0.0},
    {0x1.702e05c0b8170p-1, 0x1.51aad872df82ep-2, -0x1.d8db0a7cc1543p-56, 0.0},
    {0x1.6e1f76b4337c7p-1, 0x1.5767717455a6cp-2, -0x1.fb2a49af933e8p-57, 0.0},
    {0x1.6c16c16c16c17p-1, 0x1.5d1bdbf5809cap-2, -0x1.7dc9c7c23801fp-56, 0.0},
};

// ln 2 in two parts; LN2_HI has 42 significant bits, so k·LN2_HI is exact for |k| < 2^11.
inline constexpr double LN2_HI = 0x1.62e42fefa38p-1;
inline constexpr double LN2_LO = 0x1.ef35793c7673p-45;
inline constexpr double LN2 = 0x1.62e42fefa39efp-1;

// 64-bit results. Bound on |computed hi + lo − log x|: 2^-49·r² + 2^-80·|log x|. The r²
// term covers the rounding in the series (relative 3.2·2^-53 of |P| <= 0.51·r²), the five
// additions that collect the low part (each <= 2^-53 of a partial sum <= 0.51·r² +
// 2^-51·|log x|), the truncation after r^8 (|r|^9/9 <= r²·2^-59) and r_lo's second-order
// terms; the |log x| term covers the tails of ln 2 and log c and the rounding of
// k·LN2_LO (<= 2^-84, only when k != 0, and then |log x| >= 0.34).
inline constexpr double EPS_R2 = 0x1p-49;
inline constexpr double EPS_Y = 0x1p-80;
// Series of log1p(r) − r as r²·Q(r): −1/2 + r/3 − r²/4 + ... − r^6/8.
inline constexpr double Q[] = {-0.5, 1.0 / 3, -0.25, 0.2, -1.0 / 6, 1.0 / 7, -0.125};

// The library's log is documented to 0.519 ulp (a long sweep finds 0.5173, near 1): a
// result is returned only when log x lies within 0.47 ulp of it, so no other double
// within 0.53 ulp of log x exists for the library to return.
inline constexpr double DOUBLE_ACCEPT_ULP = 0.47;

// Arguments x = f + 1 with f a float (the regression metrics' log(t + 1)) number 2^32,
// few enough to compare the library's log with this evaluation on every one of them
// (log_plus_one_sweep; benchmarks/bench_vector_log.py --plus-one): wherever the
// evaluation puts log x within 0.49 ulp of its result, the library returns that result,
// except for x in [0.8826, 0.9375] and [1.0685, 1.1293], where the library's larger
// error near 1 shows. There the bound of 0.47 ulp stays, over the wider band
// [0.875, 1.140625]; elsewhere such arguments accept 0.49 ulp, which leaves a third of
// the undecided ones.
inline constexpr double PLUS_ONE_ACCEPT_ULP = 0.49;
inline constexpr double PLUS_ONE_BAND_LO = 0x1.cp-1;
inline constexpr double PLUS_ONE_BAND_HI = 0x1.24p+0;

// 32-bit results are evaluated in plain double: k·ln 2 + log c + r + r²·Q5(r), with the
// series cut after r^5 (relative truncation <= 2^-41.6), within 2^-41·|log x| in all:
// 2^-17 of the float's ulp.
inline constexpr double QF[] = {-0.5, 1.0 / 3, -0.25, 0.2};

// The library's logf is documented to 0.818 ulp, so one fixed margin would reject most
// arguments. The margin is set per cell instead: the binade 2^e of the result (rows,
// e = -23 .. 6) and x's table row in groups of four (columns). Each holds 1.5 times the
// largest distance from a rounding midpoint at which logf rounds away from the correctly
// rounded value in that cell, found by comparing all 2^31 positive floats, and at least
// 2^-9 ulp; the unit is 2^-9 ulp. Outside the margin logf returns the correctly rounded
// value; results outside these binades get the least margin (that comparison found no
// disagreement there at all).
inline constexpr int FLOAT_BAND_E0 = -23;
inline constexpr int FLOAT_BAND_BINADES = 30;
inline constexpr std::uint8_t FLOAT_BAND[FLOAT_BAND_BINADES][32] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-23
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-22
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-21
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-20
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-19
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-18
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-17
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-16
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-15
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-14
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-13
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-12
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-11
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 10, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-10
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 34, 36, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-9
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 66, 107, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-8
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 221, 166, 244, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-7
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 14, 155, 1, 244, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-6
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 7, 65, 19, 1, 1, 78, 69, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-5
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 35, 11, 34, 10, 1, 1, 1, 1, 1, 20, 244, 34, 26, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^-4
    1, 1, 1, 1, 3, 19, 8, 19, 7, 18, 6, 12, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 51, 15, 25, 14, 20, 1, 1, 1, 1,  // 2^-3
    6, 10, 5, 10, 5, 10, 4, 10, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 10, 7, 10, 7, 10, 6, 10,  // 2^-2
    1, 3, 2, 5, 2, 5, 2, 5, 2, 5, 2, 5, 2, 5, 2, 5, 2, 5, 3, 7, 5, 30, 5, 12, 4, 7, 4, 5, 4, 5, 3, 1,  // 2^-1
    2, 3, 2, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 2, 4, 3, 16, 2, 7, 2, 3, 2, 3, 2, 3, 2, 3,  // 2^0
    1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 1, 1, 2, 1, 2, 2, 8, 2, 4, 1, 2, 1, 2, 1, 2, 1, 2,  // 2^1
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 4, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^2
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^3
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^4
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^5
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 2^6
};

// Largest accepted |y − f| in ulps of the float result f (y its 64-bit evaluation):
// 0.5 − margin − 2^-15, the last term for y's own error; one block per binade, then one
// for the results outside them.
constexpr std::array<double, (FLOAT_BAND_BINADES + 1) * 32> float_accept() {
    std::array<double, (FLOAT_BAND_BINADES + 1) * 32> t{};
    for (int b = 0; b <= FLOAT_BAND_BINADES; ++b)
        for (int c = 0; c < 32; ++c)
            t[b * 32 + c] = 0.5 - (b < FLOAT_BAND_BINADES ? FLOAT_BAND[b][c] : 1) * 0x1p-9 - 0x1p-15;
    return t;
}
alignas(64) inline constexpr std::array<double, (FLOAT_BAND_BINADES + 1) * 32> FLOAT_ACCEPT = float_accept();

// The same as 32-bit floats for the vector kernel, which compares |y − f| rounded to
// float: 2^-20 ulp less covers that rounding (the values stay exact in 20 bits).
constexpr std::array<float, (FLOAT_BAND_BINADES + 1) * 32> float_accept_f() {
    std::array<float, (FLOAT_BAND_BINADES + 1) * 32> t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<float>(FLOAT_ACCEPT[i] - 0x1p-20);
    return t;
}
alignas(64) inline constexpr std::array<float, (FLOAT_BAND_BINADES + 1) * 32> FLOAT_ACCEPT_F = float_accept_f();

// OFF for the bits of a float: 1.0 sits in the same subinterval.
inline constexpr std::uint32_t OFF_F = 0x3f348000;
static_assert(OFF_F == (OFF >> 29) - (std::uint64_t{1023 - 127} << 23));

}  // namespace morvane::log_detail
