// The fast frame's elementary steps, one version per instruction set, on
// lanes of doubles: the same operations in the same order as LinToDB and
// CalcSpezLautheit, with SLEEF's functions for the logarithm, the power of
// ten (exp10) and the power law (an exponential of 0.23 times a logarithm).
// Which forms each set takes, and why their floats are the literal frame's,
// is told in SpezLautheitFast.cpp. Not part of the model's public interface.
#pragma once

#include <cstdint>

namespace vx::detail {

// values[0 .. count-1]: power to dB (-120 below 1e-12), as LinToDB.
void LinToDBSse2(float* values, int32_t count);
void LinToDBAvx2(float* values, int32_t count);
void LinToDBAvx512(float* values, int32_t count);

// values[0 .. count-1]: masked threshold in dB to specific loudness, as
// CalcSpezLautheit with the record's etq and etqScale.
void LoudnessLawSse2(float* values, const double* etq, const double* etqScale, int32_t count,
                     double levelOffset);
void LoudnessLawAvx2(float* values, const double* etq, const double* etqScale, int32_t count,
                     double levelOffset);
void LoudnessLawAvx512(float* values, const double* etq, const double* etqScale, int32_t count,
                       double levelOffset);

}  // namespace vx::detail
