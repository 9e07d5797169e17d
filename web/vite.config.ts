/// <reference types="vitest/config" />
import { defineConfig } from 'vite';
import { svelte } from '@sveltejs/vite-plugin-svelte';

// The build passes --outDir (the resource folder beside the binaries).
// The page is loaded from app://local/, so every asset is referenced relative
// to index.html and nothing is fetched from anywhere else.
export default defineConfig({
  base: './',
  plugins: [svelte()],
  build: {
        emptyOutDir: true,
    target: 'es2020',
    modulePreload: { polyfill: false },
    assetsInlineLimit: 0,
    reportCompressedSize: false,
  },
  test: {
    include: ['tests/**/*.test.ts'],
    environment: 'node',
  },
});
