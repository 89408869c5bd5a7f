#include "greeks/vector/greeks_kernel.hpp"

#include "greeks/vector/black_scholes.hpp"

namespace greeks::vector {

void greeks_kernel(const GreeksInputs& in, const GreeksOutputs& out, std::size_t begin,
                   std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        LegGreeks g = leg_greeks(in.spot[i], in.strike[i], in.time[i], in.rate[i], in.vol[i],
                                 in.is_call[i] != 0);
        out.delta[i] = g.delta;
        out.gamma[i] = g.gamma;
        out.theta[i] = g.theta;
        out.vega[i] = g.vega;
        out.rho[i] = g.rho;
    }
}

}  // namespace greeks::vector
