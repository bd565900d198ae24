// Replaced as the stand-in lands.
namespace hostgpu { int placeholder = 0; }
