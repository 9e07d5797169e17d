export default {
  compilerOptions: { runes: true },
};
