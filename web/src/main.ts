import { mount } from 'svelte';
import App from './App.svelte';
import './app.css';

performance.mark('corvane:start');
mount(App, { target: document.getElementById('app')! });
